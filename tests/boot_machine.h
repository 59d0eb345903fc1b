// Booting an old kernel under qemu with an initramfs of the test's own, and
// reading back what the init program there reports over the console.
#pragma once

#include <sys/types.h>

#include <chrono>
#include <optional>
#include <string>
#include <vector>

// An initramfs in the kernel's "newc" cpio format, made in memory, so that
// the tests need neither cpio nor the right to make device nodes.
class initramfs {
public:
    void add_directory(const std::string& path);
    void add_file(const std::string& path, const std::string& contents, mode_t mode = 0644);
    void add_character_device(const std::string& path, unsigned major, unsigned minor);
    // The archive, with its trailer.
    [[nodiscard]] std::string archive() const;

private:
    void add_entry(const std::string& path, mode_t mode, const std::string& contents,
                   unsigned device_major, unsigned device_minor);
    std::string archive_;
    unsigned next_inode_ = 1;
};

struct machine {
    std::string qemu;                 // qemu-system-x86_64, -i386 or -arm
    std::vector<std::string> device;  // -M, -cpu and device options
    std::string kernel;
    std::string console;  // ttyS0 or ttyAMA0
};

struct console_log {
    bool finished = false;  // the init said "done" before the time ran out
    std::string text;       // everything the machine printed
    // The init's "boot: KEY VALUE" lines, in order.
    std::vector<std::pair<std::string, std::string>> reports;
};

// Boots the machine with the archive as its initramfs, and reads the console
// until the init reports "done" or the time runs out; the machine is then
// stopped.
console_log boot(const machine& target, const std::string& archive,
                 std::chrono::seconds time_limit);

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
    std::vector<boot_case> cases;
    std::vector<std::string> usbfs;
};
boot_report read_report(const console_log& log);
