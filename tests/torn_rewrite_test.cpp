// One table of cases for telling a table torn by an interrupted rewrite
// from the old table, the new one and any other.
#include <gtest/gtest.h>

#include <ostream>
#include <string>
#include <string_view>

#include "fixtures.h"
#include "torn_rewrite.h"

namespace {

constexpr std::string_view options = ",devgid=78,devmode=0664";

struct tear_case {
    const char* name;
    std::string table;
    std::string old_table;
    bool torn;
};

void PrintTo(const tear_case& c, std::ostream* out) {
    *out << c.name;
}

// typical_patched up to cut, and typical_table from there on.
std::string cut_at(std::size_t cut) {
    return typical_patched.substr(0, cut) +
           typical_table.substr(std::min(cut, typical_table.size()));
}
const std::size_t point = typical_table.find("defaults 0 0\n/dev") + 8;

std::string with_byte(std::string table, std::size_t at, char byte) {
    table[at] = byte;
    return table;
}

// The new table with one byte past the options as the old table has it,
// where the two differ.
std::string new_with_one_old_byte() {
    std::size_t at = point + options.size();
    while (typical_table[at] == typical_patched[at]) {
        ++at;
    }
    return with_byte(typical_patched, at, typical_table[at]);
}

// Several blocks of distinct entries after the usbfs entry, as the tool
// compares a block at a time.
const std::string long_old = [] {
    std::string table = typical_table;
    for (int number = 0; table.size() < 20000; ++number) {
        table += "/dev/sd" + std::to_string(number) + " /srv/" + std::to_string(number * 7) +
                 " ext4 defaults 0 2\n";
    }
    return table;
}();
const std::string long_new =
    long_old.substr(0, point) + std::string(options) + long_old.substr(point);

std::string long_cut_at(std::size_t cut) {
    return long_new.substr(0, cut) + long_old.substr(std::min(cut, long_old.size()));
}

// A table whose bytes after the entry repeat with the options' length, so
// that its blocks there read the same shifted or not.
const std::string repeating_old =
    typical_table + "#" + std::string(std::size_t{3} * 4096, '=') + "\n";
const std::string repeating_new =
    repeating_old.substr(0, point) + std::string(options) + repeating_old.substr(point);

// clang-format off
const tear_case tear_cases[] = {
    {"repeating_old_table", repeating_old, repeating_old, false},
    {"repeating_new_table", repeating_new, repeating_old, false},
    {"repeating_cut_after_the_options", repeating_new.substr(0, point + 60) + repeating_old.substr(point + 60), repeating_old, true},
    {"long_old_table", long_old, long_old, false},
    {"long_new_table", long_new, long_old, false},
    {"long_cut_at_a_block_boundary", long_cut_at(8192), long_old, true},
    {"long_cut_inside_a_block", long_cut_at(10000), long_old, true},
    {"long_old_with_the_new_end", long_old + long_new.substr(long_old.size()), long_old, true},
    {"long_new_with_an_old_block", long_new.substr(0, 4096) + long_old.substr(4096, 4096) + long_new.substr(8192), long_old, true},
    {"long_cut_and_edited_far_on", with_byte(long_cut_at(8192), 15000, '~'), long_old, false},
    {"long_new_and_edited_far_on", with_byte(long_new, 19000, '~'), long_old, false},
    {"the_old_table", typical_table, typical_table, false},
    {"the_new_table", typical_patched, typical_table, false},
    {"cut_at_the_insertion_point_plus_one", cut_at(point + 1), typical_table, true},
    {"cut_in_the_options", cut_at(point + 10), typical_table, true},
    {"cut_after_the_options", cut_at(point + options.size() + 5), typical_table, true},
    {"cut_at_the_old_end", cut_at(typical_table.size()), typical_table, true},
    {"cut_one_short_of_the_new_end", cut_at(typical_patched.size() - 1), typical_table, true},
    {"new_with_one_old_byte_past_the_options", new_with_one_old_byte(), typical_table, true},
    {"shorter_than_the_old_table", typical_table.substr(0, typical_table.size() - 1), typical_table, false},
    {"longer_than_the_new_table", typical_patched + "\n", typical_table, false},
    {"edited_before_the_point", with_byte(cut_at(point + 10), 3, '~'), typical_table, false},
    {"edited_at_the_point", with_byte(cut_at(point + 10), point, '~'), typical_table, false},
    {"edited_in_the_options", with_byte(cut_at(point + 20), point + 5, '~'), typical_table, false},
    {"edited_after_the_cut", with_byte(cut_at(point + 10), point + 40, '~'), typical_table, false},
    {"old_table_without_usbfs_entry", table_without_usbfs + "x", table_without_usbfs, false},
    {"empty_old_table", "a", "", false},
    {"both_empty", "", "", false},
};
// clang-format on

class Tear : public testing::TestWithParam<tear_case> {};

TEST_P(Tear, IsToldFromAnyOtherTable) {
    const tear_case& c = GetParam();
    EXPECT_EQ(is_torn_rewrite(c.table, c.old_table, options), c.torn);
}

INSTANTIATE_TEST_SUITE_P(Cases, Tear, testing::ValuesIn(tear_cases),
                         [](const testing::TestParamInfo<tear_case>& info) {
                             return std::string(info.param.name);
                         });

}  // namespace
