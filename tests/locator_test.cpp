#include "locator/find_insertion_point.h"

#include <gtest/gtest.h>

#include <optional>
#include <ostream>
#include <string>
#include <string_view>

namespace {

using namespace std::string_view_literals;

// Each case is a table in which '@' marks where the options must go; a
// table without '@' has no insertion point. The '@' itself is not part of
// the image the locator sees.
struct locator_case {
    const char* name;
    std::string_view marked_table;
};

constexpr char marker = '@';

void PrintTo(const locator_case& c, std::ostream* out) {
    *out << c.name;
}

class Locator : public testing::TestWithParam<locator_case> {};

TEST_P(Locator, FindsTheEndOfTheFirstUsbfsEntrysOptions) {
    std::string image(GetParam().marked_table);
    std::optional<std::size_t> expected;
    if (const std::size_t at = image.find(marker); at != std::string::npos) {
        expected = at;
        image.erase(at, 1);
    }
    EXPECT_EQ(find_insertion_point(image), expected) << testing::PrintToString(image);
}

// clang-format off
constexpr locator_case locator_cases[] = {
    // Ordinary tables.
    {"after_another_file_system", "proc /proc proc defaults 0 0\nnone /proc/bus/usb usbfs defaults@ 0 0\n"},
    {"before_another_file_system", "none /proc/bus/usb usbfs defaults@ 0 0\n/dev/sda1 / ext4 defaults 0 1\n"},
    {"tabs_and_runs_of_white_space", "none\t/proc/bus/usb\tusbfs\tdefaults@\t0\t0\n"},
    {"indented_with_wide_gaps", "  \tnone   /proc/bus/usb \t usbfs  defaults@   0 0\n"},
    {"singular_default", "none /proc/bus/usb usbfs default@ 0 0\n"},
    {"defaults_inside_the_options", "none /proc/bus/usb usbfs noauto,defaults@ 0 0\n"},
    {"already_patched_is_matched_again", "none /proc/bus/usb usbfs defaults,devgid=78,devmode=0664@ 0 0\n"},
    {"usbfs_also_as_device", "usbfs /proc/bus/usb usbfs defaults@ 0 0\n"},
    {"hash_inside_an_entry", "none#1 /proc/bus/usb usbfs defaults@ 0 0 # trailing words\n"},

    // Where the options word ends.
    {"no_dump_and_pass_then_more_lines", "none /proc/bus/usb usbfs defaults@\n/dev/sda1 / ext4 defaults 0 1\n"},
    {"end_of_image_without_line_feed", "none /proc/bus/usb usbfs defaults@"},
    {"crlf_table", "proc /proc proc defaults 0 0\r\nnone /proc/bus/usb usbfs defaults@ 0 0\r\n"},
    {"crlf_without_dump_and_pass", "none /proc/bus/usb usbfs defaults@\r\n"},
    {"lone_carriage_return_at_end", "none /proc/bus/usb usbfs defaults@\r"},

    // Lines that are not entries.
    {"comment_mentioning_usbfs_and_defaults", "#the usbfs entry below uses defaults only\nnone /proc/bus/usb usbfs defaults@ 0 0\n"},
    {"commented_out_entry", "#none /proc/bus/usb usbfs defaults 0 0\nnone /proc/bus/usb usbfs defaults@ 0 0\n"},
    {"indented_comment_only", "  \t# none /proc/bus/usb usbfs defaults 0 0\n"},
    {"blank_and_white_lines_first", "\n   \t\n\r\nnone /proc/bus/usb usbfs defaults@ 0 0\n"},

    // The type field must be exactly usbfs.
    {"usbfs_only_in_device_and_mount_point", "/dev/usbfs /mnt/usbfs vfat defaults 0 0\n"},
    {"usbfs_in_other_fields_then_the_entry", "/dev/usbfs /mnt/usbfs vfat defaults 0 0\nnone /proc/bus/usb usbfs defaults@ 0 0\n"},
    {"short_line_naming_usbfs", "usbfs\nnone usbfs\nnone /proc/bus/usb usbfs defaults@ 0 0\n"},
    {"usbdevfs", "none /proc/bus/usb usbdevfs defaults 0 0\n"},
    {"longer_type_name", "none /proc/bus/usb usbfs2 defaults 0 0\n"},
    {"type_in_capitals", "none /proc/bus/usb USBFS defaults 0 0\n"},
    {"options_in_capitals", "none /proc/bus/usb usbfs Defaults 0 0\n"},

    // The first usbfs entry decides.
    {"noauto_then_other_defaults", "none /proc/bus/usb usbfs noauto 0 0\n/dev/sda1 / ext4 defaults 0 1\n"},
    {"no_options_then_other_defaults", "none /proc/bus/usb usbfs\n/dev/sda1 / ext4 defaults 0 1\n"},
    {"defaults_only_in_a_later_field", "none /proc/bus/usb usbfs noauto defaults\n"},
    {"second_usbfs_entry_not_looked_at", "none /a usbfs noauto 0 0\nnone /b usbfs defaults 0 0\n"},

    // Cut short by the end of the image.
    {"empty_image", ""},
    {"only_a_line_feed", "\n"},
    {"type_cut_short", "none /proc/bus/usb usbf"},
    {"options_cut_short", "none /proc/bus/usb usbfs defa"},

    // NUL and non-ASCII bytes are ordinary bytes.
    {"nul_bytes_in_an_earlier_line", "\0\0 \0\nnone /proc/bus/usb usbfs defaults@ 0 0\n"sv},
    {"nul_byte_ends_no_field", "none /proc/bus/usb usbfs defaults\0x@ 0 0\n"sv},
    {"nul_byte_inside_the_type", "none /proc/bus/usb usb\0fs defaults 0 0\n"sv},
    {"non_ascii_bytes", "\xff\xfe /x \xc3\xa9 defaults 0 0\nnone /proc/bus/usb usbfs defaults,\xc3\xa9@ 0 0\n"},
};
// clang-format on

INSTANTIATE_TEST_SUITE_P(Cases, Locator, testing::ValuesIn(locator_cases),
                         [](const testing::TestParamInfo<locator_case>& info) {
                             return std::string(info.param.name);
                         });

TEST(LocatorBounds, ReadsNothingPastTheImage) {
    // The bytes after each view would change the answer if they were read.
    constexpr std::string_view table = "none /proc/bus/usb usbfs defaults 0 0\n";
    EXPECT_EQ(find_insertion_point(table.substr(0, 33)), std::optional<std::size_t>(33));
    EXPECT_EQ(find_insertion_point(table.substr(0, 29)), std::nullopt);
    EXPECT_EQ(find_insertion_point(table.substr(0, 23)), std::nullopt);
}

}  // namespace
