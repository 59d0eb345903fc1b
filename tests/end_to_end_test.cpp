// Runs the built tool against the real path /etc/fstab, inside a private
// mount namespace with a fresh tmpfs over /etc, so the machine's own table
// is never touched. Faults are made real with mounts (/dev/full, read-only
// binds, a tmpfs too small), resource limits, other users, and, where strace
// is installed, injected system-call errors.
#include <fcntl.h>
#include <linux/magic.h>
#include <sched.h>
#include <sys/mount.h>
#include <sys/resource.h>
#include <sys/stat.h>
#include <sys/vfs.h>
#include <sys/wait.h>
#include <unistd.h>

#include <gtest/gtest.h>

#include <algorithm>
#include <cerrno>
#include <cstdlib>
#include <cstring>
#include <iterator>
#include <optional>
#include <ostream>
#include <string>
#include <string_view>
#include <tuple>
#include <vector>

namespace {

constexpr const char* tool_path = TOOL_PATH;
constexpr const char* strace_path = STRACE_PATH;
constexpr const char* table_path = "/etc/fstab";
constexpr const char* backup_path = "/etc/fstab.bak";
constexpr const char* etc_path = "/etc";
constexpr bool tool_is_sanitized = TOOL_IS_SANITIZED;
constexpr uid_t nobody = 65534;
constexpr unsigned tool_time_limit_seconds = 30;

const std::string progress = "Updating /etc/fstab...";

const std::string typical_table =
    "# /etc/fstab: static file system information.\n"
    "UUID=3b9e4c1a-7f52-4c1e-9d1b-2a6f0e8c5d41 / ext4 errors=remount-ro 0 1\n"
    "proc /proc proc defaults 0 0\n"
    "none /proc/bus/usb usbfs defaults 0 0\n"
    "/dev/sr0 /media/cdrom0 udf,iso9660 user,noauto 0 0\n";
const std::string typical_patched =
    "# /etc/fstab: static file system information.\n"
    "UUID=3b9e4c1a-7f52-4c1e-9d1b-2a6f0e8c5d41 / ext4 errors=remount-ro 0 1\n"
    "proc /proc proc defaults 0 0\n"
    "none /proc/bus/usb usbfs defaults,devgid=78,devmode=0664 0 0\n"
    "/dev/sr0 /media/cdrom0 udf,iso9660 user,noauto 0 0\n";

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

std::string error_message(const char* reason) {
    return std::string("\nError: ") + reason + "\n";
}

// Only a real root can change owners and act as another user; inside a user
// namespace of one mapped ID the tests that need it skip.
const bool started_as_root = geteuid() == 0;

bool write_id_map(const char* path, const std::string& map) {
    const int fd = open(path, O_WRONLY | O_CLOEXEC);
    if (fd < 0) {
        return false;
    }
    const bool written = write(fd, map.data(), map.size()) == static_cast<ssize_t>(map.size());
    return close(fd) == 0 && written;
}

// Moves this test process into a mount namespace of its own, whose mounts
// never propagate back. Empty on success, else why it could not.
std::string enter_private_mount_namespace() {
    if (started_as_root) {
        if (unshare(CLONE_NEWNS) != 0) {
            return std::string("unshare(CLONE_NEWNS): ") + strerror(errno);
        }
    } else {
        const uid_t uid = geteuid();
        const gid_t gid = getegid();
        if (unshare(CLONE_NEWUSER | CLONE_NEWNS) != 0) {
            return std::string("unshare(CLONE_NEWUSER|CLONE_NEWNS): ") + strerror(errno);
        }
        if (!write_id_map("/proc/self/setgroups", "deny") ||
            !write_id_map("/proc/self/uid_map", "0 " + std::to_string(uid) + " 1") ||
            !write_id_map("/proc/self/gid_map", "0 " + std::to_string(gid) + " 1")) {
            return std::string("mapping IDs in the user namespace: ") + strerror(errno);
        }
    }
    if (mount(nullptr, "/", nullptr, MS_REC | MS_PRIVATE, nullptr) != 0) {
        return std::string("making / private: ") + strerror(errno);
    }
    return {};
}

const std::string& namespace_unavailable_reason() {
    static const std::string reason = enter_private_mount_namespace();
    return reason;
}

bool etc_is_tmpfs() {
    struct statfs etc {};
    return statfs("/etc", &etc) == 0 && etc.f_type == TMPFS_MAGIC;
}

// The last line of defence for the machine's own table: no file is written
// and the tool is never started unless /etc is a tmpfs.
void require_private_etc() {
    if (!etc_is_tmpfs()) {
        std::abort();
    }
}

std::optional<std::string> file_contents(const char* path) {
    const int fd = open(path, O_RDONLY | O_CLOEXEC);
    if (fd < 0) {
        return std::nullopt;
    }
    std::string contents;
    char chunk[65536];
    ssize_t got = 0;
    while ((got = read(fd, chunk, sizeof chunk)) > 0) {
        contents.append(chunk, static_cast<std::size_t>(got));
    }
    EXPECT_EQ(got, 0) << path << ": " << strerror(errno);
    close(fd);
    return contents;
}

void put_file(const char* path, const std::string& contents, mode_t mode = 0644) {
    require_private_etc();
    const int fd = open(path, O_WRONLY | O_CREAT | O_TRUNC | O_CLOEXEC, mode);
    if (fd < 0) {
        FAIL() << path << ": " << strerror(errno);
    }
    EXPECT_EQ(write(fd, contents.data(), contents.size()), static_cast<ssize_t>(contents.size()));
    EXPECT_EQ(fchmod(fd, mode), 0);
    EXPECT_EQ(close(fd), 0);
}

void bind_mount(const char* source, const char* target) {
    ASSERT_EQ(mount(source, target, nullptr, MS_BIND, nullptr), 0)
        << source << " on " << target << ": " << strerror(errno);
}

struct stat stat_of(const char* path) {
    struct stat status {};
    EXPECT_EQ(lstat(path, &status), 0) << path << ": " << strerror(errno);
    return status;
}

// strace injections, applied only to the system calls on one path, so that
// they never hit the program loader or another of the tool's files.
struct injections {
    const char* path = nullptr;
    std::vector<std::string> rules;
};
injections on_table(std::vector<std::string> rules) {
    return {table_path, std::move(rules)};
}
injections on_backup(std::vector<std::string> rules) {
    return {backup_path, std::move(rules)};
}
injections on_etc(std::vector<std::string> rules) {
    return {etc_path, std::move(rules)};
}

struct run_options {
    std::vector<std::string> arguments;
    injections injected;
    bool close_standard_error = false;
    std::optional<uid_t> as_user;
    std::optional<rlim_t> address_space_limit;
    // Added to ASAN_OPTIONS; only a sanitized tool reads them.
    std::vector<std::string> asan_options;
};

struct run_result {
    int status = -1;
    std::string standard_output;
    std::string standard_error;
};

std::string drain(int fd) {
    std::string text;
    char chunk[4096];
    ssize_t got = 0;
    while ((got = read(fd, chunk, sizeof chunk)) > 0) {
        text.append(chunk, static_cast<std::size_t>(got));
    }
    close(fd);
    return text;
}

// The argument or environment vector that execve takes, pointing into words.
std::vector<char*> null_terminated(std::vector<std::string>& words) {
    std::vector<char*> pointers;
    pointers.reserve(words.size() + 1);
    std::transform(words.begin(), words.end(), std::back_inserter(pointers),
                   [](std::string& word) { return word.data(); });
    pointers.push_back(nullptr);
    return pointers;
}

// This process's environment, with extra options appended to ASAN_OPTIONS.
std::vector<std::string> environment_with_asan_options(const std::vector<std::string>& extra) {
    const std::string name = "ASAN_OPTIONS=";
    std::string asan_options = name;
    std::vector<std::string> environment;
    for (char** variable = environ; *variable != nullptr; ++variable) {
        const std::string word = *variable;
        if (word.starts_with(name)) {
            asan_options = word;
        } else {
            environment.push_back(word);
        }
    }
    for (const std::string& option : extra) {
        asan_options += (asan_options.size() > name.size() ? ":" : "") + option;
    }
    environment.push_back(asan_options);
    return environment;
}

// Runs the tool, or strace running the tool, with umask 0 so that the
// creation modes the tool asks for show unmasked.
run_result run_tool(const run_options& options = {}) {
    require_private_etc();
    std::vector<std::string> words;
    std::vector<std::string> asan_options = options.asan_options;
    if (!options.injected.rules.empty()) {
        words = {strace_path, "-o", "/dev/null", "-P", options.injected.path};
        for (const std::string& rule : options.injected.rules) {
            words.emplace_back("-e");
            words.push_back("inject=" + rule);
        }
        // LeakSanitizer can't work under ptrace; the runs without strace
        // still look for leaks.
        asan_options.emplace_back("detect_leaks=0");
    }
    words.emplace_back(tool_path);
    words.insert(words.end(), options.arguments.begin(), options.arguments.end());
    std::vector<char*> argv = null_terminated(words);
    std::vector<std::string> environment_words = environment_with_asan_options(asan_options);
    std::vector<char*> envp = null_terminated(environment_words);

    // The program is opened here and started through its descriptor: run
    // as another user, the child may not be allowed to reach its path.
    const int program = open(argv[0], O_RDONLY | O_CLOEXEC);
    int output[2];
    int error[2];
    if (program < 0 || pipe2(output, O_CLOEXEC) != 0 || pipe2(error, O_CLOEXEC) != 0) {
        ADD_FAILURE() << argv[0] << ": " << strerror(errno);
        return {};
    }
    const pid_t child = fork();
    if (child == 0) {
        // The alarm outlives execve: a tool that hangs is killed and fails
        // its test instead of outliving it.
        alarm(tool_time_limit_seconds);
        umask(0);
        dup2(output[1], STDOUT_FILENO);
        if (options.close_standard_error) {
            close(STDERR_FILENO);
        } else {
            dup2(error[1], STDERR_FILENO);
        }
        if (options.address_space_limit) {
            const rlimit limit{*options.address_space_limit, *options.address_space_limit};
            if (setrlimit(RLIMIT_AS, &limit) != 0) {
                _exit(126);
            }
        }
        if (options.as_user && (setgid(*options.as_user) != 0 || setuid(*options.as_user) != 0)) {
            _exit(126);
        }
        fexecve(program, argv.data(), envp.data());
        _exit(127);
    }
    close(program);
    close(output[1]);
    close(error[1]);
    run_result result;
    result.standard_output = drain(output[0]);
    result.standard_error = drain(error[0]);
    int wait_status = 0;
    if (child < 0 || waitpid(child, &wait_status, 0) != child || !WIFEXITED(wait_status)) {
        ADD_FAILURE() << "the tool did not exit normally";
        return result;
    }
    result.status = WEXITSTATUS(wait_status);
    return result;
}

// Elsewhere a missing prerequisite skips the test; under CI it fails, so a
// green CI run means that these tests really ran.
bool running_under_ci() {
    const char* ci = std::getenv("CI");
    return ci != nullptr && ci[0] != '\0';
}

#define SKIP_OR_FAIL_UNDER_CI(reason) \
    do {                              \
        if (running_under_ci()) {     \
            GTEST_FAIL() << (reason); \
        }                             \
        GTEST_SKIP() << (reason);     \
    } while (false)

// The sanitizer's note on an allocation that it refused, as asked.
std::string without_sanitizer_allocation_warning(std::string text) {
    if (!tool_is_sanitized) {
        return text;
    }
    const std::size_t note = text.find("==");
    const std::string_view warning = "==WARNING: AddressSanitizer failed to allocate ";
    const std::size_t warning_at = text.find(warning, note + 1);
    const std::size_t end = text.find('\n', warning_at);
    if (note != std::string::npos && warning_at != std::string::npos && end != std::string::npos &&
        text.find_first_not_of("0123456789", note + 2) == warning_at) {
        text.erase(note, end + 1 - note);
    }
    return text;
}

// Each test gets an empty tmpfs of its own over /etc.
class EtcSandbox : public testing::Test {
protected:
    void SetUp() override {
        if (!namespace_unavailable_reason().empty()) {
            SKIP_OR_FAIL_UNDER_CI("needs a private mount namespace, which this machine refuses: " +
                                  namespace_unavailable_reason());
        }
        mount_empty_etc("mode=0755");
    }

    void TearDown() override {
        for (; etc_mounts_ > 0; --etc_mounts_) {
            EXPECT_EQ(umount2("/etc", MNT_DETACH), 0) << strerror(errno);
        }
    }

    void mount_empty_etc(const std::string& tmpfs_options) {
        ASSERT_EQ(mount("tmpfs", "/etc", "tmpfs", 0, tmpfs_options.c_str()), 0)
            << "tmpfs over /etc: " << strerror(errno);
        ++etc_mounts_;
        ASSERT_TRUE(etc_is_tmpfs());
    }

    static bool strace_available() { return strace_path[0] != '\0'; }

private:
    int etc_mounts_ = 0;
};

// What a file must hold after the run.
struct expected_file {
    enum { absent, holds, unchecked } kind;
    std::string contents;
};
expected_file absent() {
    return {expected_file::absent, {}};
}
expected_file holds(const std::string& contents) {
    return {expected_file::holds, contents};
}
expected_file unchecked() {
    return {expected_file::unchecked, {}};
}

// An unchecked file is not even read: it may be /dev/full, which never ends.
void expect_file(const char* path, const expected_file& expected) {
    switch (expected.kind) {
        case expected_file::absent:
            EXPECT_EQ(file_contents(path), std::nullopt) << path << " should not exist";
            break;
        case expected_file::holds:
            EXPECT_EQ(file_contents(path), std::optional<std::string>(expected.contents)) << path;
            break;
        case expected_file::unchecked:
            break;
    }
}

enum class fault {
    none,
    table_unreadable_to_user,
    table_is_directory,
    table_shorter_than_its_size,
    table_huge_and_sparse,
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

class StatusTable : public EtcSandbox,
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
                if (!started_as_root) {
                    GTEST_SKIP() << "needs root to run the tool as another user";
                }
                ASSERT_EQ(chmod(table_path, 0600), 0);
                options.as_user = nobody;
                break;
            case fault::backup_not_permitted_to_user:
                if (!started_as_root) {
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
            case fault::table_huge_and_sparse: {
                constexpr off_t half_a_gibibyte = off_t{1} << 29;
                ASSERT_EQ(truncate(table_path, half_a_gibibyte), 0) << strerror(errno);
                // A sanitized tool can't start in a small address space; its
                // allocator is made to refuse instead, and says so on
                // standard error.
                if (tool_is_sanitized) {
                    options.asan_options = {"allocator_may_return_null=1",
                                            "max_allocation_size_mb=64"};
                } else {
                    options.address_space_limit = rlim_t{64} << 20;
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

const std::string patched = "OK\n";
const std::string cant_open = error_message("can't open file");
const std::string cant_read = error_message("can't read file");
const std::string no_buffer = error_message("malloc failure");
const std::string no_entry = error_message("can't find correct usbfs entry");
const std::string cant_back_up = error_message("can't make backup");
const std::string cant_open_for_writing = error_message("can't open file for writing");
const std::string cant_write = error_message("can't write file");

// The tool writes the table in three pieces: the bytes before the insertion
// point, the options, the rest. When the third fails, the options have
// already overwritten old bytes.
constexpr const char* fail_writing_the_rest = "write:error=EIO:when=3";

// clang-format off
const status_case status_cases[] = {
    {"typical_table_patched", typical_table, fault::none, {}, patched, 0, holds(typical_patched), holds(typical_table)},
    {"odd_bytes_kept_exactly", odd_table, fault::none, {}, patched, 0, holds(odd_patched), holds(odd_table)},
    {"rewrite_where_space_cant_be_reserved", typical_table, fault::none, on_table({"fallocate:error=EOPNOTSUPP"}), patched, 0, holds(typical_patched), holds(typical_table)},
    {"interrupted_calls_on_the_table_retried", typical_table, fault::none, on_table({"openat:error=EINTR:when=1", "read:error=EINTR:when=1", "fallocate:error=EINTR:when=1", "write:error=EINTR:when=2"}), patched, 0, holds(typical_patched), holds(typical_table)},
    {"interrupted_calls_on_the_backup_retried", typical_table, fault::none, on_backup({"openat:error=EINTR:when=1", "write:error=EINTR:when=1"}), patched, 0, holds(typical_patched), holds(typical_table)},
    {"no_usbfs_entry", table_without_usbfs, fault::none, {}, no_entry, 0, holds(table_without_usbfs), holds(table_without_usbfs)},

    {"table_missing", std::nullopt, fault::none, {}, cant_open, 1, absent(), absent()},
    {"table_unreadable_to_user", typical_table, fault::table_unreadable_to_user, {}, cant_open, 1, holds(typical_table), absent()},
    {"status_query_fails", typical_table, fault::none, on_table({"newfstatat:error=EIO"}), cant_read, 1, holds(typical_table), absent()},
    {"table_is_a_directory", std::nullopt, fault::table_is_directory, {}, cant_read, 1, unchecked(), absent()},
    {"table_shorter_than_its_size", std::nullopt, fault::table_shorter_than_its_size, {}, cant_read, 1, unchecked(), absent()},
    {"table_empty", "", fault::none, {}, no_buffer, 1, holds(""), absent()},
    {"no_memory_for_the_table", "", fault::table_huge_and_sparse, {}, no_buffer, 1, unchecked(), absent()},

    {"backup_not_permitted_to_user", typical_table, fault::backup_not_permitted_to_user, {}, cant_back_up, 2, holds(typical_table), absent()},
    {"backup_flush_fails", typical_table, fault::none, on_backup({"fsync:error=EIO"}), cant_back_up, 2, holds(typical_table), holds(typical_table)},
    {"directory_flush_fails", typical_table, fault::none, on_etc({"fsync:error=EIO"}), cant_back_up, 2, holds(typical_table), holds(typical_table)},
    {"backup_on_full_device", typical_table, fault::backup_on_full_device, {}, cant_back_up, 2, holds(typical_table), unchecked()},

    {"table_read_only", typical_table, fault::table_read_only, {}, cant_open_for_writing, 4, holds(typical_table), holds(typical_table)},
    {"no_room_for_the_longer_table", page_filling_table, fault::etc_too_small, {}, cant_write, 4, holds(page_filling_table), holds(page_filling_table)},
    {"no_room_refused_before_a_byte_is_written", page_filling_table, fault::etc_too_small, on_table({"lseek:error=EIO"}), cant_write, 4, holds(page_filling_table), holds(page_filling_table)},
    {"no_room_found_only_while_writing", page_filling_table, fault::etc_too_small, on_table({"fallocate:error=EOPNOTSUPP"}), cant_write, 4, holds(page_filling_table), holds(page_filling_table)},
    {"table_flush_fails", typical_table, fault::none, on_table({"fsync:error=EIO:when=1"}), cant_write, 4, holds(typical_table), holds(typical_table)},
    {"table_write_fails_half_way", typical_table, fault::none, on_table({fail_writing_the_rest}), cant_write, 4, holds(typical_table), holds(typical_table)},
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

using Tool = EtcSandbox;

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
    if (started_as_root) {
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
    std::string twice = typical_patched;
    const std::string once = "defaults,devgid=78,devmode=0664 0 0\n/dev/sr0";
    twice.replace(twice.find(once), once.size(),
                  "defaults,devgid=78,devmode=0664,devgid=78,devmode=0664 0 0\n/dev/sr0");
    expect_file(table_path, holds(twice));
    expect_file(backup_path, holds(typical_patched));
}

}  // namespace
