#pragma once

#include <cstddef>
#include <optional>
#include <string_view>

// Finds where the usbfs options go in a file-system table held in memory.
//
// The table is read as lines ending at a line feed; inside a line, space,
// tab and carriage return separate the fields. Blank lines and lines whose
// first field starts with '#' are not entries. The usbfs entry is the first
// entry whose third field is exactly "usbfs"; when its fourth field (the
// mount options) contains "defau", the insertion point is the offset just
// past that field's last byte. Otherwise there is none: the first usbfs
// entry decides, and no later line is looked at.
//
// The scan is one forward pass that reads nothing past the image and
// allocates nothing.
std::optional<std::size_t> find_insertion_point(std::string_view fstab_image);
