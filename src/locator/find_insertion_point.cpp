#include "locator/find_insertion_point.h"

#include <array>

namespace {

constexpr std::string_view usbfs_type = "usbfs";
constexpr std::string_view defaults_prefix = "defau";
constexpr char comment_mark = '#';

// Carriage return counts as white space so that CRLF tables read as LF ones.
constexpr bool is_white(char byte) {
    return byte == ' ' || byte == '\t' || byte == '\r';
}

// The first four fields of one line; fewer where the line has fewer.
struct leading_fields {
    std::array<std::string_view, 4> field;
    std::size_t count = 0;
};

leading_fields split_leading_fields(std::string_view line) {
    leading_fields result;
    std::size_t pos = 0;
    while (result.count < result.field.size()) {
        while (pos < line.size() && is_white(line[pos])) {
            ++pos;
        }
        if (pos == line.size()) {
            break;
        }
        const std::size_t begin = pos;
        while (pos < line.size() && !is_white(line[pos])) {
            ++pos;
        }
        result.field[result.count++] = line.substr(begin, pos - begin);
    }
    return result;
}

}  // namespace

std::optional<std::size_t> find_insertion_point(std::string_view fstab_image) {
    std::size_t line_begin = 0;
    while (line_begin < fstab_image.size()) {
        std::size_t line_end = fstab_image.find('\n', line_begin);
        if (line_end == std::string_view::npos) {
            line_end = fstab_image.size();
        }
        const std::string_view line = fstab_image.substr(line_begin, line_end - line_begin);
        const leading_fields fields = split_leading_fields(line);

        const bool is_entry = fields.count > 0 && fields.field[0][0] != comment_mark;
        if (is_entry && fields.count >= 3 && fields.field[2] == usbfs_type) {
            if (fields.count < 4 ||
                fields.field[3].find(defaults_prefix) == std::string_view::npos) {
                return std::nullopt;
            }
            const std::string_view options = fields.field[3];
            return line_begin + static_cast<std::size_t>(options.data() - line.data()) +
                   options.size();
        }
        line_begin = line_end + 1;
    }
    return std::nullopt;
}
