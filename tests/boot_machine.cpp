#include "boot_machine.h"

#include <fcntl.h>
#include <poll.h>
#include <sys/stat.h>
#include <sys/wait.h>
#include <unistd.h>

#include <csignal>
#include <cstdio>
#include <cstdlib>
#include <filesystem>
#include <fstream>

#include "sandbox.h"
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

// Runs a program found on the PATH, its output appended to log; true when
// it exits with status 0.
bool run_program(std::vector<std::string> words, const std::string& log) {
    std::vector<char*> argv = null_terminated(words);
    const pid_t child = fork();
    if (child == 0) {
        const int output = open(log.c_str(), O_WRONLY | O_CREAT | O_APPEND, 0600);
        dup2(output, STDOUT_FILENO);
        dup2(output, STDERR_FILENO);
        execvp(argv[0], argv.data());
        _exit(127);
    }
    int status = 0;
    return child > 0 && waitpid(child, &status, 0) == child && WIFEXITED(status) &&
           WEXITSTATUS(status) == 0;
}

}  // namespace

void initramfs::add_directory(const std::string& path) {
    entries_.push_back({path, S_IFDIR | 0755, {}, 0, 0});
}

void initramfs::add_file(const std::string& path, const std::string& contents, mode_t mode) {
    entries_.push_back({path, S_IFREG | mode, contents, 0, 0});
}

void initramfs::add_character_device(const std::string& path, unsigned major, unsigned minor) {
    entries_.push_back({path, S_IFCHR | 0600, {}, major, minor});
}

std::string initramfs::archive() const {
    std::string archive;
    unsigned long inode = 1;
    auto add = [&](const entry& item) {
        const unsigned long fields[] = {inode++,
                                        item.mode,
                                        0,
                                        0,
                                        1,
                                        0,
                                        item.contents.size(),
                                        0,
                                        0,
                                        item.device_major,
                                        item.device_minor,
                                        item.path.size() + 1,
                                        0};
        archive += "070701";
        for (const unsigned long field : fields) {
            archive += hex_field(field);
        }
        archive += item.path;
        archive.push_back('\0');
        append_padding(archive);
        archive += item.contents;
        append_padding(archive);
    };
    for (const entry& item : entries_) {
        add(item);
    }
    add({"TRAILER!!!", 0, {}, 0, 0});
    return archive;
}

bool initramfs::write_ext2_image(const std::string& image_path, std::string& problem) const {
    char tree_template[] = "/tmp/usbfs-fstab-patch-root-XXXXXX";
    if (mkdtemp(tree_template) == nullptr) {
        problem = "mkdtemp failed";
        return false;
    }
    const std::filesystem::path tree = tree_template;
    // Device nodes go in with debugfs, which needs no privilege to make
    // them; its mknod takes a name in the current directory, and gives
    // the node no permission bits.
    std::string device_requests;
    for (const entry& item : entries_) {
        const std::filesystem::path path = tree / item.path.substr(1);
        if (S_ISDIR(item.mode)) {
            std::filesystem::create_directories(path);
        } else if (S_ISREG(item.mode)) {
            std::ofstream(path, std::ios::binary) << item.contents;
            std::filesystem::permissions(path,
                                         static_cast<std::filesystem::perms>(item.mode & 07777));
        } else if (S_ISCHR(item.mode)) {
            const std::filesystem::path node = item.path;
            const std::string name = node.filename().string();
            char request[160];
            (void)std::snprintf(request, sizeof request,
                                "cd %s\nmknod %s c %u %u\nsif %s mode 0%o\ncd /\n",
                                node.parent_path().c_str(), name.c_str(), item.device_major,
                                item.device_minor, name.c_str(), static_cast<unsigned>(item.mode));
            device_requests += request;
        }
    }
    const std::string log = image_path + ".log";
    const std::string requests = image_path + ".debugfs";
    std::ofstream(requests) << device_requests;
    // Only the features that a 2.6.10 kernel's ext2 knows, and its inode size.
    const bool made =
        run_program({"mke2fs", "-q", "-F", "-t", "ext2", "-I", "128", "-O",
                     "none,filetype,sparse_super", "-d", tree.string(), image_path, "8M"},
                    log) &&
        run_program({"debugfs", "-w", "-f", requests, image_path}, log);
    (void)unlink(requests.c_str());
    if (!made) {
        problem = "mke2fs or debugfs failed: " + file_contents(log.c_str()).value_or("(no log)");
    }
    std::filesystem::remove_all(tree);
    (void)unlink(log.c_str());
    return made;
}

console_log boot(const machine& target, const initramfs& root, std::chrono::seconds time_limit) {
    console_log log;
    char root_path[] = "/tmp/usbfs-fstab-patch-root-image-XXXXXX";
    const int root_file = mkstemp(root_path);
    if (root_file < 0) {
        log.text = "could not make a file for the root file system";
        return log;
    }
    std::string append = "console=" + target.console + " panic=-1 loglevel=1";
    std::vector<std::string> words = {target.qemu,  "-m",         std::to_string(target.memory_mib),
                                      "-nographic", "-no-reboot", "-kernel",
                                      target.kernel};
    if (target.root == root_delivery::ext2_disk) {
        (void)close(root_file);
        std::string problem;
        if (!root.write_ext2_image(root_path, problem)) {
            (void)unlink(root_path);
            log.text = "could not make the root disk image: " + problem;
            return log;
        }
        words.insert(words.end(),
                     {"-drive", std::string("file=") + root_path + ",format=raw,if=ide"});
        append += " root=/dev/hda rw init=/init";
    } else {
        const std::string archive = root.archive();
        if (write(root_file, archive.data(), archive.size()) !=
                static_cast<ssize_t>(archive.size()) ||
            close(root_file) != 0) {
            (void)unlink(root_path);
            log.text = "could not write the initramfs";
            return log;
        }
        if (target.root == root_delivery::loader) {
            // Physical 16 MiB, which the kernel sees through KSEG0.
            words.insert(words.end(), {"-device", std::string("loader,file=") + root_path +
                                                      ",addr=0x01000000,force-raw=on"});
            append += " rd_start=0x81000000 rd_size=" + std::to_string(archive.size());
        } else {
            words.insert(words.end(), {"-initrd", root_path});
        }
    }
    words.insert(words.end(), {"-append", append});
    words.insert(words.end(), target.device.begin(), target.device.end());
    std::vector<char*> argv = null_terminated(words);

    int console[2];
    if (pipe2(console, O_CLOEXEC) != 0) {
        (void)unlink(root_path);
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
    (void)unlink(root_path);

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
        if (key == "kernel") {
            report.kernel = value;
        } else if (key == "case") {
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
