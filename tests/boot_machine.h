// Booting an old kernel under qemu with an initramfs of the test's own, and
// reading back what the init program there reports over the console.
#pragma once

#include <sys/types.h>

#include <chrono>
#include <optional>
#include <string>
#include <vector>

// The root file system that the test boots, made in memory: as an
// initramfs in the kernel's "newc" cpio format, so that the tests need
// neither cpio nor the right to make device nodes, or as an ext2 disk image
// for a kernel that can't start from an initramfs.
class initramfs {
public:
    void add_directory(const std::string& path);
    void add_file(const std::string& path, const std::string& contents, mode_t mode = 0644);
    void add_character_device(const std::string& path, unsigned major, unsigned minor);
    // The archive, with its trailer.
    [[nodiscard]] std::string archive() const;
    // Writes the same tree as an ext2 image to image_path (mke2fs and
    // debugfs, of e2fsprogs, make it); false, with why in problem, if that
    // fails.
    [[nodiscard]] bool write_ext2_image(const std::string& image_path, std::string& problem) const;

private:
    struct entry {
        std::string path;
        mode_t mode;
        std::string contents;
        unsigned device_major;
        unsigned device_minor;
    };
    std::vector<entry> entries_;
};

// How the kernel gets its root file system.
enum class root_delivery {
    initrd,     // qemu's -initrd
    loader,     // put in memory by qemu's loader device, and named to the
                // kernel with rd_start and rd_size (Malta, which panics with
                // an initrd at the top of memory)
    ext2_disk,  // an IDE disk, root=/dev/hda (2.6.10, which oopses after
                // freeing some initramfs)
};

struct machine {
    std::string qemu;                 // qemu-system-x86_64, -i386, -arm, -mipsel
    std::vector<std::string> device;  // -M, -cpu and device options
    std::string kernel;
    std::string console;  // ttyS0 or ttyAMA0
    root_delivery root = root_delivery::initrd;
    unsigned memory_mib = 128;
};

struct console_log {
    bool finished = false;  // the init said "done" before the time ran out
    std::string text;       // everything the machine printed
    // The init's "boot: KEY VALUE" lines, in order.
    std::vector<std::pair<std::string, std::string>> reports;
};

// Boots the machine with root as its root file system, and reads the
// console until the init reports "done" or the time runs out; the machine
// is then stopped.
console_log boot(const machine& target, const initramfs& root, std::chrono::seconds time_limit);

// One run of the tool as the init reported it.
struct boot_case {
    std::string standard_error;
    std::string standard_output;
    std::string status;
    std::optional<std::string> table;
    std::optional<std::string> backup;
};

// The runs in the order the init made them, and the other reports (usbfs)
// as they came.
struct boot_report {
    std::string kernel;  // the kernel's /proc/version
    std::vector<boot_case> cases;
    std::vector<std::string> usbfs;
};
boot_report read_report(const console_log& log);
