#include "boot_machine.h"

#include <fcntl.h>
#include <poll.h>
#include <sys/stat.h>
#include <sys/wait.h>
#include <unistd.h>

#include <csignal>
#include <cstdio>
#include <cstdlib>

#include "tool_runner.h"

namespace {

void append_padding(std::string& archive) {
    while (archive.size() % 4 != 0) {
        archive.push_back('\0');
    }
}

std::string hex_field(unsigned long value) {
    char field[9];
    (void)std::snprintf(field, sizeof field, "%08lX", value);
    return field;
}

std::optional<std::string> decode_hex(const std::string& text) {
    if (text == "absent") {
        return std::nullopt;
    }
    std::string bytes;
    for (std::size_t at = 0; at + 1 < text.size(); at += 2) {
        bytes.push_back(static_cast<char>(std::stoi(text.substr(at, 2), nullptr, 16)));
    }
    return bytes;
}

}  // namespace

void initramfs::add_directory(const std::string& path) {
    add_entry(path, S_IFDIR | 0755, {}, 0, 0);
}

void initramfs::add_file(const std::string& path, const std::string& contents, mode_t mode) {
    add_entry(path, S_IFREG | mode, contents, 0, 0);
}

void initramfs::add_character_device(const std::string& path, unsigned major, unsigned minor) {
    add_entry(path, S_IFCHR | 0600, {}, major, minor);
}

void initramfs::add_entry(const std::string& path, mode_t mode, const std::string& contents,
                          unsigned device_major, unsigned device_minor) {
    const unsigned long fields[] = {
        next_inode_++,   mode, 0, 0, 1, 0, contents.size(), 0, 0, device_major, device_minor,
        path.size() + 1, 0};
    archive_ += "070701";
    for (const unsigned long field : fields) {
        archive_ += hex_field(field);
    }
    archive_ += path;
    archive_.push_back('\0');
    append_padding(archive_);
    archive_ += contents;
    append_padding(archive_);
}

std::string initramfs::archive() const {
    initramfs whole = *this;
    whole.add_entry("TRAILER!!!", 0, {}, 0, 0);
    return whole.archive_;
}

console_log boot(const machine& target, const std::string& archive,
                 std::chrono::seconds time_limit) {
    console_log log;
    char initrd_path[] = "/tmp/usbfs-fstab-patch-initrd-XXXXXX";
    const int initrd = mkstemp(initrd_path);
    if (initrd < 0 ||
        write(initrd, archive.data(), archive.size()) != static_cast<ssize_t>(archive.size()) ||
        close(initrd) != 0) {
        log.text = "could not write the initramfs";
        return log;
    }
    std::vector<std::string> words = {target.qemu,
                                      "-m",
                                      "128",
                                      "-nographic",
                                      "-no-reboot",
                                      "-kernel",
                                      target.kernel,
                                      "-initrd",
                                      initrd_path,
                                      "-append",
                                      "console=" + target.console + " panic=-1 loglevel=1"};
    words.insert(words.end(), target.device.begin(), target.device.end());
    std::vector<char*> argv = null_terminated(words);

    int console[2];
    if (pipe2(console, O_CLOEXEC) != 0) {
        (void)unlink(initrd_path);
        return log;
    }
    const pid_t child = fork();
    if (child == 0) {
        const int nothing = open("/dev/null", O_RDONLY);
        dup2(nothing, STDIN_FILENO);
        dup2(console[1], STDOUT_FILENO);
        dup2(console[1], STDERR_FILENO);
        execv(argv[0], argv.data());
        _exit(127);
    }
    close(console[1]);
    const auto deadline = std::chrono::steady_clock::now() + time_limit;
    for (;;) {
        const auto left = std::chrono::duration_cast<std::chrono::milliseconds>(
            deadline - std::chrono::steady_clock::now());
        pollfd ready{console[0], POLLIN, 0};
        if (left.count() <= 0 || poll(&ready, 1, static_cast<int>(left.count())) <= 0) {
            break;
        }
        char chunk[4096];
        const ssize_t got = read(console[0], chunk, sizeof chunk);
        if (got <= 0) {
            break;
        }
        log.text.append(chunk, static_cast<std::size_t>(got));
        if (log.text.find("boot: done") != std::string::npos) {
            log.finished = true;
            break;
        }
    }
    if (child > 0) {
        (void)kill(child, SIGKILL);
        (void)waitpid(child, nullptr, 0);
    }
    close(console[0]);
    (void)unlink(initrd_path);

    // The serial line ends lines with CR LF; the init's own lines start
    // with "boot: ".
    for (std::string line : lines_of(log.text)) {
        while (!line.empty() && line.back() == '\r') {
            line.pop_back();
        }
        constexpr std::string_view prefix = "boot: ";
        if (!line.starts_with(prefix)) {
            continue;
        }
        line.erase(0, prefix.size());
        const std::size_t space = line.find(' ');
        log.reports.emplace_back(line.substr(0, space),
                                 space == std::string::npos ? "" : line.substr(space + 1));
    }
    return log;
}

boot_report read_report(const console_log& log) {
    boot_report report;
    for (const auto& [key, value] : log.reports) {
        if (key == "case") {
            report.cases.emplace_back();
        } else if (key == "usbfs") {
            report.usbfs.push_back(value);
        } else if (!report.cases.empty()) {
            boot_case& current = report.cases.back();
            if (key == "stderr") {
                current.standard_error = decode_hex(value).value_or("absent");
            } else if (key == "stdout") {
                current.standard_output = decode_hex(value).value_or("absent");
            } else if (key == "status") {
                current.status = value;
            } else if (key == "/etc/fstab") {
                current.table = decode_hex(value);
            } else if (key == "/etc/fstab.bak") {
                current.backup = decode_hex(value);
            }
        }
    }
    return report;
}
