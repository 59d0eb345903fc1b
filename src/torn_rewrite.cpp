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

}  // namespace

bool is_torn_rewrite(std::string_view table, std::string_view old_table,
                     std::string_view inserted) {
    if (table.size() < old_table.size() || table.size() > old_table.size() + inserted.size()) {
        return false;
    }
    // Before the insertion point the old and the new table agree, so a torn
    // table agrees with them there too.
    const std::optional<std::size_t> insertion_point = find_insertion_point(old_table);
    if (!insertion_point || *insertion_point > table.size() ||
        !same_bytes(table.data(), old_table.data(), *insertion_point)) {
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
    bool is_whole_old_table = table.size() == old_table.size();
    const std::size_t options_end = std::min(point + shift, table.size());
    for (std::size_t at = point; at < options_end; ++at) {
        if (!is_old_or_new_byte(at)) {
            return false;
        }
        is_whole_new_table = is_whole_new_table && table[at] == new_byte(at);
        is_whole_old_table = is_whole_old_table && table[at] == old_table[at];
    }
    // Past the options the new table is the old one shifted by their length.
    for (std::size_t begin = options_end; begin < table.size(); begin += block_size) {
        const std::size_t count = std::min(block_size, table.size() - begin);
        const bool is_new_block =
            same_bytes(table.data() + begin, old_table.data() + begin - shift, count);
        // A block can be both, where the table repeats itself; it is
        // compared with the old one too while the whole may still be old.
        const bool is_old_block = (is_whole_old_table || !is_new_block) &&
                                  begin + count <= old_table.size() &&
                                  same_bytes(table.data() + begin, old_table.data() + begin, count);
        is_whole_new_table = is_whole_new_table && is_new_block;
        is_whole_old_table = is_whole_old_table && is_old_block;
        if (!is_new_block && !is_old_block) {
            for (std::size_t at = begin; at < begin + count; ++at) {
                if (!is_old_or_new_byte(at)) {
                    return false;
                }
            }
        }
    }
    return !is_whole_new_table && !is_whole_old_table;
}
