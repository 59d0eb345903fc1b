// Runs the tool under test against the real path /etc/fstab, inside a
// private mount namespace with a fresh tmpfs over /etc, so the machine's own
// table is never touched. Faults are made real with mounts (/dev/full,
// read-only binds, a tmpfs too small), resource limits, other users, and,
// where strace is installed, injected system-call errors.
#include <sys/mount.h>
#include <sys/stat.h>
#include <unistd.h>

#include <gtest/gtest.h>

#include <cerrno>
#include <cstdlib>
#include <cstring>
#include <optional>
#include <ostream>
#include <string>
#include <string_view>
#include <tuple>
#include <vector>

#include "fixtures.h"
#include "sandbox.h"
#include "tool_runner.h"

namespace {

constexpr uid_t nobody = 65534;

// CRLF, tabs, NUL and non-ASCII bytes, and an entry at the very end with no
// line feed: every byte but the insertion must come back as it was.
const std::string odd_table = std::string("# comment\r\nproc\t/proc\tproc\tdefaults\t0\t0\r\n") +
                              std::string("\0\xff\xfe\n", 4) + "none /proc/bus/usb usbfs defaults";
const std::string odd_patched = std::string("# comment\r\nproc\t/proc\tproc\tdefaults\t0\t0\r\n") +
                                std::string("\0\xff\xfe\n", 4) +
                                "none /proc/bus/usb usbfs defaults,devgid=78,devmode=0664";

const std::string table_without_usbfs =
    "UUID=3b9e4c1a-7f52-4c1e-9d1b-2a6f0e8c5d41 / ext4 errors=remount-ro 0 1\n"
    "#none /proc/bus/usb usbfs defaults 0 0\n";

// The tmpfs for the no-room cases holds two pages. This table fills one, as
// does its backup, and the patched table, 23 bytes longer, needs a third.
const auto page_size = static_cast<std::size_t>(sysconf(_SC_PAGESIZE));
constexpr std::size_t tight_tmpfs_pages = 2;
const std::size_t page_filling_size = page_size - 7;
const std::string usbfs_line = "none /proc/bus/usb usbfs defaults 0 0\n";
const std::string page_filling_table =
    "#" + std::string(page_filling_size - 2 - usbfs_line.size(), 'x') + "\n" + usbfs_line;

// Large enough that the tool asks for huge pages for part of its buffer,
// with the entry at the very end.
std::string large_table_with_entry_last(const std::string& entry) {
    constexpr std::size_t large_size = std::size_t{5} << 20;
    const std::string ordinary = "UUID=3b9e4c1a /srv/volume000001 ext4 defaults 0 2\n";
    std::string table;
    table.reserve(large_size + entry.size());
    while (table.size() < large_size) {
        table += ordinary;
    }
    return table + entry;
}

enum class fault {
    none,
    table_unreadable_to_user,
    table_is_directory,
    table_shorter_than_its_size,
    table_huge_and_sparse,
    table_beyond_32_bits,
    backup_not_permitted_to_user,
    backup_on_full_device,
    table_read_only,
    etc_too_small,
};

struct status_case {
    const char* name;
    std::optional<std::string> table;  // nullopt: no /etc/fstab at all
    fault made;
    injections injected;
    std::string outcome;
    int status;
    expected_file table_after;
    expected_file backup_after;
};

void PrintTo(const status_case& c, std::ostream* out) {
    *out << c.name;
}

// Started with standard error closed, the tool's files could take
// descriptor 2, and a message could then be written into one of them. Every
// case runs both ways, and must leave the same files.
enum class standard_error { open, closed };

void PrintTo(standard_error stream, std::ostream* out) {
    *out << (stream == standard_error::open ? "standard_error_open" : "standard_error_closed");
}

class StatusTable : public ToolSandbox,
                    public testing::WithParamInterface<std::tuple<status_case, standard_error>> {
protected:
    // Writes the table and makes the fault around it; skips the test where
    // this machine can't make the fault.
    void arrange(const status_case& c, run_options& options) {
        if (!c.injected.rules.empty() && !strace_available()) {
            SKIP_OR_FAIL_UNDER_CI("strace is not installed; it injects this fault");
        }
        options.injected = c.injected;
        if (c.made == fault::etc_too_small) {
            mount_empty_etc("mode=0755,size=" + std::to_string(tight_tmpfs_pages * page_size));
        }
        if (c.table) {
            put_file(table_path, *c.table);
        }
        switch (c.made) {
            case fault::none:
            case fault::etc_too_small:
                break;
            case fault::table_unreadable_to_user:
                if (!started_as_root()) {
                    GTEST_SKIP() << "needs root to run the tool as another user";
                }
                ASSERT_EQ(chmod(table_path, 0600), 0);
                options.as_user = nobody;
                break;
            case fault::backup_not_permitted_to_user:
                if (!started_as_root()) {
                    GTEST_SKIP() << "needs root to run the tool as another user";
                }
                options.as_user = nobody;
                break;
            case fault::table_is_directory:
                ASSERT_EQ(mkdir(table_path, 0755), 0);
                break;
            case fault::table_shorter_than_its_size: {
                // A sysfs file reports a size of one page but holds a few bytes.
                constexpr const char* sysfs_file = "/sys/devices/system/cpu/online";
                if (access(sysfs_file, R_OK) != 0) {
                    GTEST_SKIP() << sysfs_file << " is not there to stand in for the table";
                }
                put_file(table_path, "");
                bind_mount(sysfs_file, table_path);
                break;
            }
            case fault::table_huge_and_sparse:
            case fault::table_beyond_32_bits: {
                const tool_build& tool = tool_under_test();
                // Half a GiB fits any address space, so the limit below is
                // what refuses it; a table of over 4 GiB fits no 32-bit one.
                const off_t size = c.made == fault::table_huge_and_sparse
                                       ? off_t{1} << 29
                                       : (off_t{1} << 32) + off_t{16};
                ASSERT_EQ(truncate(table_path, size), 0) << strerror(errno);
                // A sanitized tool can't start in a small address space; its
                // allocator is made to refuse instead, and says so on
                // standard error.
                if (tool.sanitized) {
                    options.asan_options = {"allocator_may_return_null=1",
                                            "max_allocation_size_mb=64"};
                } else if (tool.emulator.empty()) {
                    options.address_space_limit = rlim_t{64} << 20;
                } else if (c.made == fault::table_huge_and_sparse) {
                    // qemu holds the guest's whole 4 GiB from the start, so
                    // no limit can refuse the buffer. A first run finds the
                    // emulator's call that maps it, and that call fails as
                    // the kernel fails it when memory runs out.
                    if (!strace_available()) {
                        SKIP_OR_FAIL_UNDER_CI("strace is not installed; it makes the mapping fail");
                    }
                    const traced_run first = run_tool_traced();
                    ASSERT_TRUE(first.trace);
                    const std::vector<int> calls = mmaps_of_at_least(*first.trace, size);
                    ASSERT_FALSE(calls.empty()) << *first.trace;
                    (void)unlink(backup_path);
                    options.injected =
                        on_every_call({"mmap:error=ENOMEM:when=" + std::to_string(calls.front())});
                }
                break;
            }
            case fault::backup_on_full_device:
                put_file(backup_path, "");
                bind_mount("/dev/full", backup_path);
                break;
            case fault::table_read_only:
                bind_mount(table_path, table_path);
                ASSERT_EQ(
                    mount(nullptr, table_path, nullptr, MS_REMOUNT | MS_BIND | MS_RDONLY, nullptr),
                    0)
                    << strerror(errno);
                break;
        }
    }
};

TEST_P(StatusTable, ReportsAndLeavesBothFilesAsExpected) {
    const auto& [c, stream] = GetParam();
    run_options options;
    options.close_standard_error = stream == standard_error::closed;
    ASSERT_NO_FATAL_FAILURE(arrange(c, options));
    if (IsSkipped()) {
        return;
    }
    const run_result run = run_tool(options);
    EXPECT_EQ(run.status, c.status);
    if (stream == standard_error::open) {
        EXPECT_EQ(without_sanitizer_allocation_warning(run.standard_error), progress + c.outcome);
    }
    EXPECT_EQ(run.standard_output, "");
    expect_file(table_path, c.table_after);
    expect_file(backup_path, c.backup_after);
}

// The same call has other names in other C libraries and on other
// architectures; a rule names them all.
const std::string open_calls = "open,openat";
const std::string status_calls = "fstat,fstat64,newfstatat,statx";

// The new bytes go in with writev; only writing the old table back uses
// write. With that failed, a rewrite begun before the space was reserved
// would leave a torn table.
constexpr const char* fail_the_put_back = "write:error=EIO";

// clang-format off
const status_case status_cases[] = {
    {"typical_table_patched", typical_table, fault::none, {}, patched, 0, holds(typical_patched), holds(typical_table)},
    {"odd_bytes_kept_exactly", odd_table, fault::none, {}, patched, 0, holds(odd_patched), holds(odd_table)},
    {"rewrite_where_space_cant_be_reserved", typical_table, fault::none, on_table({"fallocate:error=EOPNOTSUPP"}), patched, 0, holds(typical_patched), holds(typical_table)},
    {"rewrite_where_the_kernel_has_no_fallocate", typical_table, fault::none, on_table({"fallocate:error=ENOSYS"}), patched, 0, holds(typical_patched), holds(typical_table)},
    {"directory_that_cant_be_flushed", typical_table, fault::none, on_etc({"fsync:error=EINVAL"}), patched, 0, holds(typical_patched), holds(typical_table)},
    {"directory_that_cant_be_flushed_ebadf", typical_table, fault::none, on_etc({"fsync:error=EBADF"}), patched, 0, holds(typical_patched), holds(typical_table)},
    {"interrupted_calls_on_the_table_retried", typical_table, fault::none, on_table({open_calls + ":error=EINTR:when=1", "flock:error=EINTR:when=1", "read:error=EINTR:when=1", "fallocate:error=EINTR:when=1", "writev:error=EINTR:when=1"}), patched, 0, holds(typical_patched), holds(typical_table)},
    {"interrupted_calls_on_the_backup_retried", typical_table, fault::none, on_backup({open_calls + ":error=EINTR:when=1", "write:error=EINTR:when=1"}), patched, 0, holds(typical_patched), holds(typical_table)},
    {"lock_refused_by_the_file_system", typical_table, fault::none, on_table({"flock:error=ENOLCK"}), patched, 0, holds(typical_patched), holds(typical_table)},
    {"lock_not_supported_by_the_file_system", typical_table, fault::none, on_table({"flock:error=EOPNOTSUPP"}), patched, 0, holds(typical_patched), holds(typical_table)},
    {"no_usbfs_entry", table_without_usbfs, fault::none, {}, no_entry, 0, holds(table_without_usbfs), holds(table_without_usbfs)},

    {"table_missing", std::nullopt, fault::none, {}, cant_open, 1, absent(), absent()},
    {"table_unreadable_to_user", typical_table, fault::table_unreadable_to_user, {}, cant_open, 1, holds(typical_table), absent()},
    {"status_query_fails", typical_table, fault::none, on_table({status_calls + ":error=EIO"}), cant_read, 1, holds(typical_table), absent()},
    {"lock_fails", typical_table, fault::none, on_table({"flock:error=EINVAL"}), cant_read, 1, holds(typical_table), absent()},
    {"table_is_a_directory", std::nullopt, fault::table_is_directory, {}, cant_read, 1, unchecked(), absent()},
    {"table_shorter_than_its_size", std::nullopt, fault::table_shorter_than_its_size, {}, cant_read, 1, unchecked(), absent()},
    {"table_empty", "", fault::none, {}, no_buffer, 1, holds(""), absent()},
    {"no_memory_for_the_table", "", fault::table_huge_and_sparse, {}, no_buffer, 1, unchecked(), absent()},
    {"table_larger_than_32_bits_can_hold", "", fault::table_beyond_32_bits, {}, no_buffer, 1, unchecked(), absent()},

    {"backup_not_permitted_to_user", typical_table, fault::backup_not_permitted_to_user, {}, cant_back_up, 2, holds(typical_table), absent()},
    {"backup_flush_fails", typical_table, fault::none, on_backup({"fsync:error=EIO"}), cant_back_up, 2, holds(typical_table), holds(typical_table)},
    {"directory_flush_fails", typical_table, fault::none, on_etc({"fsync:error=EIO"}), cant_back_up, 2, holds(typical_table), holds(typical_table)},
    {"backup_on_full_device", typical_table, fault::backup_on_full_device, {}, cant_back_up, 2, holds(typical_table), unchecked()},

    {"table_read_only", typical_table, fault::table_read_only, {}, cant_open_for_writing, 4, holds(typical_table), holds(typical_table)},
    {"no_room_for_the_longer_table", page_filling_table, fault::etc_too_small, {}, cant_write, 4, holds(page_filling_table), holds(page_filling_table)},
    {"no_room_refused_before_a_byte_is_written", page_filling_table, fault::etc_too_small, on_table({fail_the_put_back}), cant_write, 4, holds(page_filling_table), holds(page_filling_table)},
    {"no_room_found_only_while_writing", page_filling_table, fault::etc_too_small, on_table({"fallocate:error=EOPNOTSUPP"}), cant_write, 4, holds(page_filling_table), holds(page_filling_table)},
    {"no_room_found_only_while_writing_without_fallocate", page_filling_table, fault::etc_too_small, on_table({"fallocate:error=ENOSYS"}), cant_write, 4, holds(page_filling_table), holds(page_filling_table)},
    {"table_flush_fails", typical_table, fault::none, on_table({"fsync:error=EIO:when=1"}), cant_write, 4, holds(typical_table), holds(typical_table)},
    {"table_write_fails", typical_table, fault::none, on_table({"writev:error=EIO"}), cant_write, 4, holds(typical_table), holds(typical_table)},
};
// clang-format on

std::string status_case_name(const StatusTable::ParamType& param) {
    const bool closed = std::get<standard_error>(param) == standard_error::closed;
    return std::string(std::get<status_case>(param).name) + (closed ? "_stderr_closed" : "");
}

INSTANTIATE_TEST_SUITE_P(Cases, StatusTable,
                         testing::Combine(testing::ValuesIn(status_cases),
                                          testing::Values(standard_error::open,
                                                          standard_error::closed)),
                         [](const testing::TestParamInfo<StatusTable::ParamType>& info) {
                             return status_case_name(info.param);
                         });

using Tool = ToolSandbox;

TEST_F(Tool, IgnoresItsArguments) {
    put_file(table_path, typical_table);
    run_options options;
    options.arguments = {"--help", "-n", "", "/etc/other", "usbfs"};
    const run_result run = run_tool(options);
    EXPECT_EQ(run.status, 0);
    EXPECT_EQ(run.standard_error, progress + patched);
    EXPECT_EQ(run.standard_output, "");
    expect_file(table_path, holds(typical_patched));
    expect_file(backup_path, holds(typical_table));
}

TEST_F(Tool, PatchesALargeTableExactly) {
    const std::string large_table = large_table_with_entry_last(usbfs_line);
    put_file(table_path, large_table);
    const run_result run = run_tool();
    EXPECT_EQ(run.status, 0);
    EXPECT_EQ(run.standard_error, progress + patched);
    // Compared by hand: a failure should not print megabytes.
    const std::string large_patched = large_table_with_entry_last(
        "none /proc/bus/usb usbfs defaults,devgid=78,devmode=0664 0 0\n");
    EXPECT_TRUE(file_contents(table_path) == large_patched);
    EXPECT_TRUE(file_contents(backup_path) == large_table);
}

TEST_F(Tool, CreatesTheBackupWithMode0600) {
    put_file(table_path, typical_table, 0644);
    ASSERT_EQ(run_tool().status, 0);
    const struct stat backup = stat_of(backup_path);
    EXPECT_TRUE(S_ISREG(backup.st_mode));
    EXPECT_EQ(backup.st_mode & 07777, 0600U);
}

TEST_F(Tool, ReplacesAnExistingBackupAndKeepsItsMode) {
    put_file(table_path, typical_table);
    put_file(backup_path, std::string(3 * typical_table.size(), 's'), 0640);
    ASSERT_EQ(run_tool().status, 0);
    expect_file(backup_path, holds(typical_table));
    EXPECT_EQ(stat_of(backup_path).st_mode & 07777, 0640U);
}

TEST_F(Tool, KeepsTheTablesInodeOwnerAndMode) {
    put_file(table_path, typical_table, 0604);
    if (started_as_root()) {
        ASSERT_EQ(chown(table_path, 1234, 5678), 0) << strerror(errno);
    }
    const struct stat before = stat_of(table_path);
    ASSERT_EQ(run_tool().status, 0);
    const struct stat after = stat_of(table_path);
    EXPECT_EQ(after.st_ino, before.st_ino);
    EXPECT_EQ(after.st_uid, before.st_uid);
    EXPECT_EQ(after.st_gid, before.st_gid);
    EXPECT_EQ(after.st_mode, before.st_mode);
    expect_file(table_path, holds(typical_patched));
}

TEST_F(Tool, PatchesThroughASymbolicLinkAndKeepsTheLink) {
    constexpr const char* real_table = "/etc/fstab.real";
    put_file(real_table, typical_table);
    ASSERT_EQ(symlink("fstab.real", table_path), 0);
    ASSERT_EQ(run_tool().status, 0);
    EXPECT_TRUE(S_ISLNK(stat_of(table_path).st_mode));
    expect_file(real_table, holds(typical_patched));
    EXPECT_TRUE(S_ISREG(stat_of(backup_path).st_mode));
    expect_file(backup_path, holds(typical_table));
}

TEST_F(Tool, SecondRunInsertsTheOptionsAgain) {
    put_file(table_path, typical_table);
    ASSERT_EQ(run_tool().status, 0);
    const run_result second = run_tool();
    EXPECT_EQ(second.status, 0);
    EXPECT_EQ(second.standard_error, progress + patched);
    expect_file(table_path, holds(typical_patched_twice));
    expect_file(backup_path, holds(typical_patched));
}

}  // namespace
