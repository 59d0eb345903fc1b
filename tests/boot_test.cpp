// Boots each release binary on a real old kernel under qemu, as a machine
// of the era that usbfs lives in would run it: Linux 2.6.38 on x86_64, with
// a USB device to see the patched options take effect; 2.6.17 and 2.6.10 on
// i386, which lack fallocate and AT_RANDOM; 3.2 on an ARM926 board; 2.6.36
// on a MIPS Malta board. The init program on the root file system runs the
// tool over a few rows of the status table and reports over the console.
#include <unistd.h>

#include <gtest/gtest.h>

#include <chrono>
#include <cstdio>
#include <optional>
#include <ostream>
#include <string>
#include <vector>

#include "boot_machine.h"
#include "fixtures.h"
#include "sandbox.h"

namespace {

constexpr const char* release_builds = RELEASE_BUILDS_DIR;
constexpr const char* old_kernels = OLD_KERNELS_DIR;
// A boot takes seconds here; a loaded machine emulating it may take far
// longer, and only a hung one takes this long.
constexpr std::chrono::seconds boot_time_limit{240};

struct old_kernel {
    const char* name;
    const char* version;  // as the kernel names itself in /proc/version
    const char* kernel_file;
    const char* qemu;
    std::vector<std::string> device;
    const char* console;
    const char* release_preset;
    bool has_usb;
    root_delivery root = root_delivery::initrd;
    unsigned memory_mib = 128;
};

void PrintTo(const old_kernel& kernel, std::ostream* out) {
    *out << kernel.name;
}

const old_kernel old_kernel_cases[] = {
    {"linux_2_6_38_x86_64",
     "2.6.38.2-lll+",
     "linux-2.6.38.2-x86_64.bzImage",
     QEMU_X86_64_PATH,
     {"-cpu", "qemu64", "-usb", "-device", "usb-tablet"},
     "ttyS0",
     "release",
     true},
    {"linux_2_6_17_i386",
     "2.6.17.14-rtr",
     "linux-2.6.17.14-i386.bzImage",
     QEMU_I386_PATH,
     {"-cpu", "qemu32"},
     "ttyS0",
     "release-i386",
     false},
    {"linux_2_6_10_i386",
     "2.6.10",
     "linux-2.6.10-i386.bzImage",
     QEMU_I386_PATH,
     {"-cpu", "qemu32"},
     "ttyS0",
     "release-i386",
     false,
     root_delivery::ext2_disk,
     256},
    {"linux_3_2_armel",
     "3.2.0-4-versatile",
     "linux-3.2.0-4-versatile-armel.zImage",
     QEMU_ARM_SYSTEM_PATH,
     {"-M", "versatilepb"},
     "ttyAMA0",
     "release-armel",
     false},
    {"linux_2_6_36_mipsel",
     "2.6.36",
     "linux-2.6.36-mipsel-malta.vmlinuz",
     QEMU_MIPSEL_SYSTEM_PATH,
     {"-M", "malta"},
     "ttyS0",
     "release-mipsel",
     false,
     root_delivery::loader},
};

// The rows of the status table that the init runs, in its order: the
// directory /cases/N holds the table of row N, if it has one.
struct boot_row {
    const char* name;
    std::optional<std::string> table;
    std::string outcome;
    std::string status;
    std::optional<std::string> table_after;
    std::optional<std::string> backup_after;
};

const boot_row boot_rows[] = {
    {"typical_table_patched", typical_table, patched, "0", typical_patched, typical_table},
    {"no_usbfs_entry", table_without_usbfs, no_entry, "0", table_without_usbfs,
     table_without_usbfs},
    {"table_missing", std::nullopt, cant_open, "1", std::nullopt, std::nullopt},
    {"table_empty", "", no_buffer, "1", "", std::nullopt},
};

class OldKernel : public testing::TestWithParam<old_kernel> {};

TEST_P(OldKernel, RunsTheReleaseBinary) {
    const old_kernel& target = GetParam();
    const std::string build = std::string(release_builds) + "/build-" + target.release_preset;
    const std::string kernel = std::string(old_kernels) + "/" + target.kernel_file;
    const std::optional<std::string> tool = file_contents((build + "/usbfs-fstab-patch").c_str());
    const std::optional<std::string> init = file_contents((build + "/boot_init").c_str());
    if (!tool || !init) {
        SKIP_OR_FAIL_UNDER_CI(build + " holds no release build; make it with cmake --workflow " +
                              "--preset " + target.release_preset);
    }
    if (access(kernel.c_str(), R_OK) != 0) {
        SKIP_OR_FAIL_UNDER_CI(kernel + " is not there; the boot tests read the old kernels from " +
                              old_kernels);
    }
    if (access(target.qemu, X_OK) != 0) {
        SKIP_OR_FAIL_UNDER_CI(std::string(target.qemu) + " is not installed");
    }

    initramfs root;
    for (const char* directory : {"/etc", "/proc", "/dev", "/cases"}) {
        root.add_directory(directory);
    }
    root.add_character_device("/dev/console", 5, 1);
    root.add_file("/init", *init, 0755);
    root.add_file("/usbfs-fstab-patch", *tool, 0755);
    int number = 0;
    for (const boot_row& row : boot_rows) {
        const std::string directory = "/cases/" + std::to_string(++number);
        root.add_directory(directory);
        if (row.table) {
            root.add_file(directory + "/fstab", *row.table);
        }
    }

    const console_log log =
        boot({target.qemu, target.device, kernel, target.console, target.root, target.memory_mib},
             root, boot_time_limit);
    ASSERT_TRUE(log.finished) << "the init did not finish; the console said:\n" << log.text;
    const boot_report report = read_report(log);
    EXPECT_TRUE(report.kernel.starts_with(std::string("Linux version ") + target.version + " "))
        << report.kernel;
    ASSERT_EQ(report.cases.size(), std::size(boot_rows)) << log.text;
    for (std::size_t at = 0; at < std::size(boot_rows); ++at) {
        const boot_row& row = boot_rows[at];
        const boot_case& run = report.cases[at];
        SCOPED_TRACE(row.name);
        EXPECT_EQ(run.standard_error, progress + row.outcome);
        EXPECT_EQ(run.standard_output, "");
        EXPECT_EQ(run.status, row.status);
        EXPECT_EQ(run.table, row.table_after);
        EXPECT_EQ(run.backup, row.backup_after);
    }

    // Mounted as before the run, usbfs gives the root hub's and the
    // tablet's device files to root, mode 0644; remounted with the patched
    // table's options, the same files go to group 78, mode 0664.
    if (target.has_usb) {
        const std::vector<std::string> mounted = {
            "mounted",
            "file /proc/bus/usb/001/001 mode 100644 uid 0 gid 0",
            "file /proc/bus/usb/001/002 mode 100644 uid 0 gid 0",
            "remounted with devgid=78,devmode=0664",
            "file /proc/bus/usb/001/001 mode 100664 uid 0 gid 78",
            "file /proc/bus/usb/001/002 mode 100664 uid 0 gid 78",
        };
        EXPECT_EQ(report.usbfs, mounted) << log.text;
    } else {
        EXPECT_EQ(report.usbfs, std::vector<std::string>{"absent"}) << log.text;
    }
    // What a person watching the console would have seen: the kernel that
    // booted, each run's messages and status, and the patched table.
    std::printf("%s: %s\n", target.name, report.kernel.c_str());
    for (std::size_t at = 0; at < std::size(boot_rows); ++at) {
        std::string message = report.cases[at].standard_error;
        for (std::size_t feed = message.find('\n'); feed != std::string::npos;
             feed = message.find('\n', feed + 2)) {
            message.replace(feed, 1, "\\n");
        }
        std::printf("%s: %s: \"%s\", status %s\n", target.name, boot_rows[at].name, message.c_str(),
                    report.cases[at].status.c_str());
    }
    std::printf("%s: the typical run's table after:\n%s", target.name,
                report.cases.front().table.value_or("(absent)\n").c_str());
    for (const std::string& line : report.usbfs) {
        std::printf("%s: usbfs %s\n", target.name, line.c_str());
    }
}

INSTANTIATE_TEST_SUITE_P(Boot, OldKernel, testing::ValuesIn(old_kernel_cases),
                         [](const testing::TestParamInfo<old_kernel>& info) {
                             return std::string(info.param.name);
                         });

}  // namespace
