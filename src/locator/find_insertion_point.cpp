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
    // Only a line that holds the bytes "usbfs" can be the usbfs entry, so
    // the search jumps from one such line to the next and never splits the
    // lines in between into fields.
    std::size_t search_from = 0;
    while (search_from < fstab_image.size()) {
        const std::size_t keyword = fstab_image.find(usbfs_type, search_from);
        if (keyword == std::string_view::npos) {
            return std::nullopt;
        }
        const std::size_t line_feed_before = fstab_image.rfind('\n', keyword);
        const std::size_t line_begin =
            line_feed_before == std::string_view::npos ? 0 : line_feed_before + 1;
        std::size_t line_end = fstab_image.find('\n', keyword);
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
        search_from = line_end + 1;
    }
    return std::nullopt;
}
