// Feeds arbitrary bytes to find_insertion_point and checks every answer
// against a second, plainly written reading of the rule: the options of the
// first usbfs entry get the text, right after its fourth field, and only
// when that field contains "defau".
#include <algorithm>
#include <cstddef>
#include <cstdint>
#include <cstdio>
#include <cstdlib>
#include <optional>
#include <string_view>
#include <vector>

#include "locator/find_insertion_point.h"

namespace {

// One field of a line, as offsets into the whole image.
struct field {
    std::size_t begin;
    std::size_t end;
};

struct line {
    std::size_t begin;
    std::size_t end;  // the offset of its line feed, or the image's size
    std::vector<field> fields;
};

bool separates_fields(char byte) {
    return byte == ' ' || byte == '\t' || byte == '\r';
}

// Cuts the image into lines at every line feed, and each line into fields
// at every run of spaces, tabs and carriage returns.
std::vector<line> read_lines(std::string_view image) {
    std::vector<line> lines;
    std::size_t begin = 0;
    while (begin < image.size()) {
        line current{begin, begin, {}};
        std::size_t at = begin;
        for (; at < image.size() && image[at] != '\n'; ++at) {
            const bool inside_field = !current.fields.empty() && current.fields.back().end == at;
            if (separates_fields(image[at])) {
                continue;
            }
            if (inside_field) {
                current.fields.back().end = at + 1;
            } else {
                current.fields.push_back({at, at + 1});
            }
        }
        current.end = at;
        lines.push_back(current);
        begin = at + 1;
    }
    return lines;
}

std::string_view text_of(std::string_view image, const field& f) {
    return image.substr(f.begin, f.end - f.begin);
}

bool is_usbfs_entry(std::string_view image, const line& l) {
    return l.fields.size() >= 3 && image[l.fields[0].begin] != '#' &&
           text_of(image, l.fields[2]) == "usbfs";
}

bool has_defaults_options(std::string_view image, const line& l) {
    return l.fields.size() >= 4 &&
           text_of(image, l.fields[3]).find("defau") != std::string_view::npos;
}

[[noreturn]] void fail(const char* broken_rule, std::string_view image,
                       std::optional<std::size_t> answer) {
    (void)std::fprintf(stderr, "oracle: %s (image of %zu bytes, answer %lld)\n", broken_rule,
                       image.size(), answer ? static_cast<long long>(*answer) : -1LL);
    std::abort();
}

void check(std::string_view image, std::optional<std::size_t> answer) {
    const std::vector<line> lines = read_lines(image);
    const auto first_entry = std::find_if(
        lines.begin(), lines.end(), [image](const line& l) { return is_usbfs_entry(image, l); });

    if (!answer) {
        if (first_entry != lines.end() && has_defaults_options(image, *first_entry)) {
            fail("the first usbfs entry has defaults options, yet no point was found", image,
                 answer);
        }
        return;
    }
    const std::size_t point = *answer;
    if (point > image.size()) {
        fail("the point lies outside the image", image, answer);
    }
    const auto holder = std::find_if(lines.begin(), lines.end(), [point](const line& l) {
        return l.begin <= point && point <= l.end;
    });
    if (holder == lines.end()) {
        fail("the point lies on no line", image, answer);
    }
    if (!holder->fields.empty() && image[holder->fields[0].begin] == '#') {
        fail("the point lies on a comment line", image, answer);
    }
    if (!is_usbfs_entry(image, *holder)) {
        fail("the point's line is not a usbfs entry", image, answer);
    }
    if (!has_defaults_options(image, *holder) || holder->fields[3].end != point) {
        fail("the point is not the end of a fourth field holding defau", image, answer);
    }
    if (holder != first_entry) {
        fail("an earlier line is a usbfs entry", image, answer);
    }
}

}  // namespace

extern "C" int LLVMFuzzerTestOneInput(const std::uint8_t* data, std::size_t size) {
    const std::string_view image(reinterpret_cast<const char*>(data), size);
    const std::optional<std::size_t> first = find_insertion_point(image);
    if (find_insertion_point(image) != first) {
        fail("two calls on the same bytes disagree", image, first);
    }
    check(image, first);
    return 0;
}
