// The first process of the boot tests: an old kernel under qemu starts it
// from the test's initramfs. It runs the tool once for each case the test
// put under /cases (1, 2, ...), and reports over the console what the tool
// printed, its exit status and both files, hex-encoded so that the serial
// line can't alter a byte. After the first case it mounts usbfs, then
// remounts it with the options of the patched table, and reports the device
// files each time, where the kernel has usbfs. It is built with the release toolchain, since a
// program linked with the host's C library may not even start on these kernels.
#include <fcntl.h>
#include <sys/mount.h>
#include <sys/reboot.h>
#include <sys/stat.h>
#include <sys/wait.h>
#include <unistd.h>

#include <cerrno>
#include <cstddef>
#include <cstring>
#include <ctime>
#include <string_view>

#include "file_io.h"

namespace {

constexpr const char* tool_path = "/usbfs-fstab-patch";
constexpr const char* table_path = "/etc/fstab";
constexpr const char* backup_path = "/etc/fstab.bak";
constexpr const char* usbfs_mount_point = "/proc/bus/usb";

// Large enough for every table and message the tests use.
constexpr std::size_t capacity = 1 << 16;
char contents[capacity];

void say(std::string_view text) {
    (void)write_fully(STDOUT_FILENO, text);
}

// Numbers are formatted by hand: printf would bring musl's floating-point
// formatting, which needs the compiler's soft-float routines on CPUs
// without an FPU.
using digit_buffer = char[24];
std::string_view digits_of(unsigned long number, unsigned base, digit_buffer& digits) {
    std::size_t start = sizeof digits;
    do {
        digits[--start] = "0123456789abcdef"[number % base];
        number /= base;
    } while (number != 0);
    return {digits + start, sizeof digits - start};
}

void say_number(unsigned long number, unsigned base = 10) {
    digit_buffer digits;
    say(digits_of(number, base, digits));
}

// The path /cases/NUMBER, followed by leaf.
using case_path_buffer = char[48];
const char* case_path(int number, std::string_view leaf, case_path_buffer& path) {
    digit_buffer digits;
    const std::string_view parts[] = {
        "/cases/", digits_of(static_cast<unsigned long>(number), 10, digits), leaf};
    std::size_t length = 0;
    for (const std::string_view part : parts) {
        std::memcpy(path + length, part.data(), part.size());
        length += part.size();
    }
    path[length] = '\0';
    return &path[0];
}

void say_hex(std::string_view bytes) {
    constexpr std::string_view digits = "0123456789abcdef";
    char pair[2];
    for (const char byte : bytes) {
        const auto value = static_cast<unsigned char>(byte);
        pair[0] = digits[value >> 4U];
        pair[1] = digits[value & 15U];
        say(std::string_view(pair, 2));
    }
}

// Reads all of fd into contents; the length, or -1 on an error.
long read_all(int fd) {
    std::size_t length = 0;
    while (length < capacity) {
        const ssize_t got = read(fd, contents + length, capacity - length);
        if (got < 0 && errno == EINTR) {
            continue;
        }
        if (got < 0) {
            return -1;
        }
        if (got == 0) {
            break;
        }
        length += static_cast<std::size_t>(got);
    }
    return static_cast<long>(length);
}

// Reads the whole file into contents; its length, or -1 where it can't.
long read_file(const char* path) {
    const int fd = open(path, O_RDONLY);
    if (fd < 0) {
        return -1;
    }
    const long length = read_all(fd);
    (void)close(fd);
    return length;
}

// "boot: PATH absent", or "boot: PATH " and the file's bytes in hex.
void report_file(const char* path) {
    say("boot: ");
    say(path);
    const long length = read_file(path);
    if (length < 0) {
        say(" absent\n");
        return;
    }
    say(" ");
    say_hex(std::string_view(contents, static_cast<std::size_t>(length)));
    say("\n");
}

// Copies a case's table to /etc/fstab.
bool put_table(const char* from) {
    const long length = read_file(from);
    if (length < 0) {
        return false;
    }
    const int target = open(table_path, O_WRONLY | O_CREAT | O_TRUNC, 0644);
    if (target < 0) {
        return false;
    }
    const bool written =
        write_fully(target, std::string_view(contents, static_cast<std::size_t>(length)));
    return close(target) == 0 && written;
}

// Runs the tool with its standard output and error on two pipes, and
// reports both and its exit status.
void run_tool() {
    int output[2];
    int error[2];
    if (pipe(output) != 0 || pipe(error) != 0) {
        say("boot: pipe failed\n");
        return;
    }
    const pid_t child = fork();
    if (child == 0) {
        (void)dup2(output[1], STDOUT_FILENO);
        (void)dup2(error[1], STDERR_FILENO);
        (void)close(output[0]);
        (void)close(output[1]);
        (void)close(error[0]);
        (void)close(error[1]);
        char name[] = "usbfs-fstab-patch";
        char* const argv[] = {name, nullptr};
        char* const envp[] = {nullptr};
        execve(tool_path, argv, envp);
        _exit(127);
    }
    (void)close(output[1]);
    (void)close(error[1]);
    // The tool's output is a few dozen bytes, far less than a pipe holds,
    // so reading one pipe after the other can't block it.
    const long error_length = read_all(error[0]);
    say("boot: stderr ");
    say_hex(
        std::string_view(contents, error_length < 0 ? 0 : static_cast<std::size_t>(error_length)));
    say("\n");
    const long output_length = read_all(output[0]);
    say("boot: stdout ");
    say_hex(std::string_view(contents,
                             output_length < 0 ? 0 : static_cast<std::size_t>(output_length)));
    say("\n");
    (void)close(output[0]);
    (void)close(error[0]);
    int status = 0;
    if (child < 0 || waitpid(child, &status, 0) != child || !WIFEXITED(status)) {
        say("boot: status none\n");
        return;
    }
    say("boot: status ");
    say_number(WEXITSTATUS(status));
    say("\n");
}

// The fourth field of the table's usbfs line, less "defaults", which
// mount(8) handles itself and the kernel does not know.
bool usbfs_options_from_table(char* options, std::size_t size) {
    const long length = read_file(table_path);
    if (length < 0) {
        return false;
    }
    const std::string_view table(contents, static_cast<std::size_t>(length));
    const std::size_t type = table.find(" usbfs ");
    if (type == std::string_view::npos) {
        return false;
    }
    std::string_view field = table.substr(type + 7);
    field = field.substr(0, field.find(' '));
    constexpr std::string_view defaults = "defaults,";
    if (field.starts_with(defaults)) {
        field.remove_prefix(defaults.size());
    }
    if (field.size() >= size) {
        return false;
    }
    std::memcpy(options, field.data(), field.size());
    options[field.size()] = '\0';
    return true;
}

void report_device_file(const char* path) {
    struct stat status {};
    if (stat(path, &status) != 0) {
        return;
    }
    say("boot: usbfs file ");
    say(path);
    say(" mode ");
    say_number(status.st_mode, 8);
    say(" uid ");
    say_number(status.st_uid);
    say(" gid ");
    say_number(status.st_gid);
    say("\n");
}

// Waits for the device files on the first bus: the root hub's is there at
// once; the device behind it is found by the hub's own thread, a moment later.
void report_device_files() {
    struct stat device {};
    const timespec tenth_of_a_second{0, 100000000};
    for (int tries = 0; tries < 100 && stat("/proc/bus/usb/001/002", &device) != 0; ++tries) {
        (void)nanosleep(&tenth_of_a_second, nullptr);
    }
    report_device_file("/proc/bus/usb/001/001");
    report_device_file("/proc/bus/usb/001/002");
}

bool mounted_usbfs(unsigned long flags, const char* options) {
    if (mount("usbfs", usbfs_mount_point, "usbfs", flags, options) == 0) {
        return true;
    }
    say("boot: usbfs mount failed: ");
    say(std::strerror(errno));
    say("\n");
    return false;
}

// Mounts usbfs as the table had it before the run, with no options, then
// remounts it with the patched table's options, as `mount -o remount
// /proc/bus/usb` does after a run, and reports the mode and owner of the
// device files on the first bus each time.
void check_usbfs_mount() {
    struct stat mount_point {};
    if (stat(usbfs_mount_point, &mount_point) != 0) {
        say("boot: usbfs absent\n");
        return;
    }
    char options[256];
    if (!usbfs_options_from_table(options, sizeof options)) {
        say("boot: usbfs no entry\n");
        return;
    }
    if (!mounted_usbfs(0, "")) {
        return;
    }
    say("boot: usbfs mounted\n");
    report_device_files();
    if (mounted_usbfs(MS_REMOUNT, options)) {
        say("boot: usbfs remounted with ");
        say(options);
        say("\n");
        report_device_files();
    }
    (void)umount(usbfs_mount_point);
}

void run_case(int number) {
    case_path_buffer table;
    (void)case_path(number, "/fstab", table);
    (void)unlink(table_path);
    (void)unlink(backup_path);
    struct stat given {};
    if (stat(table, &given) == 0 && !put_table(table)) {
        say("boot: could not set up the table\n");
    }
    say("boot: case ");
    say_number(number);
    say("\n");
    run_tool();
    report_file(table_path);
    report_file(backup_path);
}

}  // namespace

int main() {
    say("boot: init started\n");
    if (mount("proc", "/proc", "proc", 0, nullptr) != 0) {
        say("boot: mounting /proc failed\n");
    }
    // The kernel that really booted, whatever the console's log level hid.
    const long version_length = read_file("/proc/version");
    if (version_length > 0) {
        say("boot: kernel ");
        say(std::string_view(contents, static_cast<std::size_t>(version_length)));
    }
    struct stat given {};
    for (int number = 1;; ++number) {
        case_path_buffer directory;
        if (stat(case_path(number, "", directory), &given) != 0) {
            break;
        }
        run_case(number);
        if (number == 1) {
            check_usbfs_mount();
        }
    }
    say("boot: done\n");
    sync();
    // The test stops the machine once it has read "done"; the process that
    // boots a kernel must not end, so it waits for that.
    (void)reboot(RB_AUTOBOOT);
    for (;;) {
        (void)pause();
    }
}
