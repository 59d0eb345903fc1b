// A rerun after an interrupted rewrite: a table torn between the old one,
// which the backup holds, and the new one is not backed up over the only
// whole copy of the old table; the run writes the new table again from the
// backup. Every other state of the two files gives an ordinary run.
#include <fcntl.h>
#include <sys/stat.h>
#include <unistd.h>

#include <gtest/gtest.h>

#include <cerrno>
#include <cstdio>
#include <cstring>
#include <optional>
#include <ostream>
#include <string>

#include "fixtures.h"
#include "locator/find_insertion_point.h"
#include "sandbox.h"
#include "tool_runner.h"

namespace {

const std::string insertion_text = ",devgid=78,devmode=0664";
const auto page_size = static_cast<std::size_t>(sysconf(_SC_PAGESIZE));

// What an ordinary run makes of a table.
std::string patched_once(const std::string& table) {
    const std::optional<std::size_t> point = find_insertion_point(table);
    return point ? table.substr(0, *point) + insertion_text + table.substr(*point) : table;
}

// Entries that differ from one line to the next, at least size bytes of
// them, so that a table shifted by the insertion differs from itself.
std::string distinct_entries(std::size_t size) {
    std::string entries;
    for (unsigned number = 0; entries.size() < size; ++number) {
        char line[64];
        (void)std::snprintf(line, sizeof line, "UUID=%08x /srv/volume%06u ext4 defaults 0 2\n",
                            number * 2654435761U, number % 1000000);
        entries += line;
    }
    return entries;
}

// The usbfs entry comes early, and distinct entries follow it over several
// pages, so that the table shifted by the insertion differs from itself at
// every page boundary. It ends 7 bytes short of a page boundary: the new
// table, 23 bytes longer, needs one more page than the old one.
const std::string old_table = [] {
    constexpr std::size_t pages = 6;
    const std::size_t size = pages * page_size - 7;
    std::string table = typical_table + distinct_entries(size - typical_table.size());
    table.resize(size - 1);
    return table + "\n";
}();
const std::string new_table = patched_once(old_table);

// The new table up to offset cut, and the old one from there on: what a
// write stopped at cut leaves.
std::string torn_at(std::size_t cut) {
    return new_table.substr(0, cut) + old_table.substr(std::min(cut, old_table.size()));
}

// The new table as long as it is, with each page whose bit is set in
// old_pages still old: a writeback lost in any order.
std::string pages_of_both(unsigned old_pages) {
    std::string table = new_table;
    for (std::size_t page = 0; page * page_size < old_table.size(); ++page) {
        if ((old_pages >> page & 1U) != 0) {
            const std::size_t begin = page * page_size;
            table.replace(begin, std::min(page_size, old_table.size() - begin),
                          old_table.substr(begin, page_size));
        }
    }
    return table;
}

const std::size_t last_boundary = (old_table.size() / page_size) * page_size;
const std::string torn_in_the_middle = torn_at(3 * page_size);

// A byte that is in neither table at offset at: what a hand edit brings.
std::string edited_at(std::string table, std::size_t at) {
    table[at] = '~';
    return table;
}
const std::size_t insertion_point = *find_insertion_point(old_table);

// The table with its usbfs entry's type changed, the size kept.
std::string without_usbfs(std::string table) {
    table.replace(table.find(" usbfs "), 7, " ext4  ");
    return table;
}

enum class fault { none, etc_holds_only_the_two_files };

struct rerun_case {
    const char* name;
    std::string table;
    std::optional<std::string> backup;  // nullopt: no backup at all
    fault made;
    injections injected;
    std::string outcome;
    int status;
    std::string table_after;
    std::string backup_after;
    bool backup_left_alone;
};

void PrintTo(const rerun_case& c, std::ostream* out) {
    *out << c.name;
}

// A finished rewrite of a torn table: the new table, the backup untouched.
rerun_case finished(const char* name, const std::string& torn) {
    return {name, torn, old_table, fault::none, {}, patched, 0, new_table, old_table, true};
}

// An ordinary run: the table as it is is backed up, and patched.
rerun_case ordinary(const char* name, const std::string& table,
                    const std::optional<std::string>& backup, injections injected = {}) {
    return {name,  table, backup, fault::none, std::move(injected), patched, 0, patched_once(table),
            table, false};
}

const std::string open_calls = "open,openat";

const rerun_case rerun_cases[] = {
    finished("torn_at_the_first_page_boundary", torn_at(page_size)),
    finished("torn_at_a_middle_page_boundary", torn_in_the_middle),
    finished("torn_at_the_last_page_boundary", torn_at(last_boundary)),
    finished("torn_just_after_the_insertion_point", torn_at(insertion_point + 1)),
    finished("torn_as_long_as_the_old_table", torn_at(old_table.size())),
    finished("torn_one_byte_short_of_the_new_table", torn_at(new_table.size() - 1)),
    finished("pages_old_and_new_in_turn", pages_of_both(0b010101U)),
    finished("pages_new_but_one", pages_of_both(0b000100U)),
    finished("pages_old_but_the_last", pages_of_both(0b011111U)),
    finished("old_with_only_the_new_end", old_table + new_table.substr(old_table.size())),

    ordinary("no_backup", torn_in_the_middle, std::nullopt),
    ordinary("table_is_the_old_one", old_table, old_table),
    ordinary("table_is_the_new_one", new_table, old_table),
    ordinary("edited_before_the_insertion_point", edited_at(torn_in_the_middle, 10), old_table),
    ordinary("edited_at_the_insertion_point", edited_at(torn_in_the_middle, insertion_point),
             old_table),
    ordinary("edited_after_the_insertion_point", edited_at(torn_in_the_middle, 4 * page_size + 5),
             old_table),
    ordinary("backup_cant_be_opened", torn_in_the_middle, old_table,
             on_backup({open_calls + ":error=EACCES:when=1"})),
    ordinary("backup_cant_be_read", torn_in_the_middle, old_table, on_backup({"read:error=EIO"})),
    ordinary("backup_larger_than_the_table_and_the_options", torn_in_the_middle,
             old_table + std::string(insertion_text.size() + 1, '#')),
    ordinary("backup_much_smaller", torn_in_the_middle, old_table.substr(0, page_size)),
    ordinary("backup_of_another_table", torn_in_the_middle, edited_at(old_table, 2 * page_size)),
    ordinary("backup_without_a_usbfs_entry", typical_table, without_usbfs(typical_table)),

    // The rewrite of a torn table fails: the backup still holds the old
    // table. Without room, nothing is written; a failed write puts the old
    // table back.
    {"torn_and_no_room_for_the_new_table",
     torn_at(page_size),
     old_table,
     fault::etc_holds_only_the_two_files,
     {},
     cant_write,
     4,
     torn_at(page_size),
     old_table,
     true},
    {"torn_and_the_write_fails", torn_in_the_middle, old_table, fault::none,
     on_table({"writev:error=EIO"}), cant_write, 4, old_table, old_table, true},
};

class Rerun : public ToolSandbox, public testing::WithParamInterface<rerun_case> {};

TEST_P(Rerun, FinishesATornRewriteOrRunsAsEver) {
    const rerun_case& c = GetParam();
    if (!c.injected.rules.empty() && !strace_available()) {
        SKIP_OR_FAIL_UNDER_CI("strace is not installed; it injects this fault");
    }
    if (c.made == fault::etc_holds_only_the_two_files) {
        const std::size_t pages = (c.table.size() + page_size - 1) / page_size +
                                  (c.backup->size() + page_size - 1) / page_size;
        mount_empty_etc("mode=0755,size=" + std::to_string(pages * page_size));
    }
    put_file(table_path, c.table);
    // A backup that the run leaves alone keeps this time.
    constexpr time_t long_ago = 1000000000;
    if (c.backup) {
        put_file(backup_path, *c.backup);
        const timespec times[] = {{long_ago, 0}, {long_ago, 0}};
        ASSERT_EQ(utimensat(AT_FDCWD, backup_path, times, 0), 0) << strerror(errno);
    }
    run_options options;
    options.injected = c.injected;
    const run_result run = run_tool(options);
    EXPECT_EQ(run.status, c.status);
    EXPECT_EQ(run.standard_error, progress + c.outcome);
    EXPECT_EQ(run.standard_output, "");
    // Compared by hand: a failure should not print pages of table.
    EXPECT_TRUE(file_contents(table_path) == c.table_after) << "the table is not as expected";
    EXPECT_TRUE(file_contents(backup_path) == c.backup_after) << "the backup is not as expected";
    if (c.backup_left_alone) {
        EXPECT_EQ(stat_of(backup_path).st_mtim.tv_sec, long_ago) << "the backup was rewritten";
    }
}

INSTANTIATE_TEST_SUITE_P(States, Rerun, testing::ValuesIn(rerun_cases),
                         [](const testing::TestParamInfo<rerun_case>& info) {
                             return std::string(info.param.name);
                         });

using RerunWithoutMemory = ToolSandbox;

// Telling a torn table takes a second buffer the size of the backup. Where
// none can be had, the run stops before it writes anything: backing up a
// table it could not check might put a torn one over the only whole copy.
TEST_F(RerunWithoutMemory, StopsBeforeWritingAnything) {
    const std::string entries = distinct_entries(std::size_t{40} << 20);
    const std::string big_old = typical_table + entries;
    const std::string big_new = typical_patched + entries;
    const std::string torn =
        big_new.substr(0, std::size_t{8} << 20) + big_old.substr(std::size_t{8} << 20);

    const tool_build& tool = tool_under_test();
    run_options options;
    if (!tool.sanitized && tool.emulator.empty()) {
        // Room for one buffer of the table's size, not for two.
        options.address_space_limit = rlim_t{64} << 20;
    } else {
        // Neither a sanitized tool nor qemu starts in a small address space:
        // a first run finds the call that maps the second buffer, and that
        // call fails as the kernel fails it when memory runs out.
        if (!strace_available()) {
            SKIP_OR_FAIL_UNDER_CI("strace is not installed; it makes the mapping fail");
        }
        put_file(table_path, torn);
        put_file(backup_path, big_old);
        const traced_run first = run_tool_traced();
        ASSERT_TRUE(first.trace);
        const std::vector<int> calls =
            mmaps_of_at_least(*first.trace, static_cast<off_t>(big_old.size()));
        ASSERT_GE(calls.size(), 2U) << "the run did not map two buffers";
        options.injected = on_every_call({"mmap:error=ENOMEM:when=" + std::to_string(calls[1])});
        options.asan_options = {"allocator_may_return_null=1"};
    }
    put_file(table_path, torn);
    put_file(backup_path, big_old);
    const run_result run = run_tool(options);
    EXPECT_EQ(run.status, 1);
    EXPECT_EQ(without_sanitizer_allocation_warning(run.standard_error), progress + no_buffer);
    EXPECT_TRUE(file_contents(table_path) == torn) << "the table was changed";
    EXPECT_TRUE(file_contents(backup_path) == big_old) << "the backup was changed";
}

}  // namespace
