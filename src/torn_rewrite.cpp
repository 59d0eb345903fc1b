#include "torn_rewrite.h"

#include <algorithm>
#include <cstddef>
#include <cstring>
#include <optional>

#include "locator/find_insertion_point.h"

namespace {

// The tables are compared a block at a time with memcmp, which the C
// library runs far faster than a loop over bytes; only a block that is
// neither wholly old nor wholly new is looked at byte by byte.
constexpr std::size_t block_size = 4096;

bool same_bytes(const char* first, const char* second, std::size_t count) {
    return std::memcmp(first, second, count) == 0;
}

// The length of the longest common prefix of first and second.
std::size_t common_prefix(std::string_view first, std::string_view second) {
    const std::size_t size = std::min(first.size(), second.size());
    std::size_t at = 0;
    while (at < size) {
        const std::size_t count = std::min(block_size, size - at);
        if (!same_bytes(first.data() + at, second.data() + at, count)) {
            break;
        }
        at += count;
    }
    while (at < size && first[at] == second[at]) {
        ++at;
    }
    return at;
}

}  // namespace

bool is_torn_rewrite(std::string_view table, std::string_view old_table,
                     std::string_view inserted) {
    if (table.size() < old_table.size() || table.size() > old_table.size() + inserted.size()) {
        return false;
    }
    // A table that agrees with the old one to the end is the old one. Most
    // reruns stop here, having read each table once.
    const std::size_t first_difference = common_prefix(old_table, table);
    if (first_difference == table.size()) {
        return false;
    }
    // Before the insertion point the old and the new table agree, so a torn
    // one can differ from the old one only from there on.
    const std::optional<std::size_t> insertion_point = find_insertion_point(old_table);
    if (!insertion_point || *insertion_point > first_difference) {
        return false;
    }
    const std::size_t point = *insertion_point;
    const std::size_t shift = inserted.size();
    // The byte of the new table at offset at, which is past the point.
    const auto new_byte = [&](std::size_t at) {
        return at < point + shift ? inserted[at - point] : old_table[at - shift];
    };
    const auto is_old_or_new_byte = [&](std::size_t at) {
        return table[at] == new_byte(at) || (at < old_table.size() && table[at] == old_table[at]);
    };
    bool is_whole_new_table = table.size() == old_table.size() + shift;
    const std::size_t options_end = std::min(point + shift, table.size());
    for (std::size_t at = point; at < options_end; ++at) {
        if (!is_old_or_new_byte(at)) {
            return false;
        }
        is_whole_new_table = is_whole_new_table && table[at] == new_byte(at);
    }
    // Past the options the new table is the old one shifted by their length.
    for (std::size_t begin = options_end; begin < table.size(); begin += block_size) {
        const std::size_t count = std::min(block_size, table.size() - begin);
        if (same_bytes(table.data() + begin, old_table.data() + begin - shift, count)) {
            continue;
        }
        is_whole_new_table = false;
        if (begin + count <= old_table.size() &&
            same_bytes(table.data() + begin, old_table.data() + begin, count)) {
            continue;
        }
        for (std::size_t at = begin; at < begin + count; ++at) {
            if (!is_old_or_new_byte(at)) {
                return false;
            }
        }
    }
    return !is_whole_new_table;
}
