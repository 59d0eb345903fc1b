#pragma once

#include <string_view>

// Whether table is what a rewrite of old_table, cut short, leaves behind:
// the rewrite inserts inserted at old_table's insertion point, so the whole
// new table is old_table with inserted spliced in there. A kill inside the
// write, or a crash before every block of it reached the disk, leaves a
// table that is neither the old one nor the new one, no shorter than the
// old and no longer than the new, and whose every byte is the byte at the
// same offset of the old or of the new one. A hand edit brings in bytes
// that are in neither, and is never taken for a tear.
//
// One forward pass; reads nothing past either image and allocates nothing.
bool is_torn_rewrite(std::string_view table, std::string_view old_table, std::string_view inserted);
