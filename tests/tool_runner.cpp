#include "tool_runner.h"

#include <fcntl.h>
#include <sys/stat.h>
#include <sys/wait.h>
#include <unistd.h>

#include <algorithm>
#include <cerrno>
#include <cstdlib>
#include <cstring>
#include <iterator>
#include <map>
#include <string_view>
#include <utility>

namespace {

constexpr const char* strace_path = STRACE_PATH;
constexpr unsigned tool_time_limit_seconds = 30;

// Every release binary but the x86_64 one runs here under qemu's user-mode
// emulator, as the oldest CPU model of its family, so that an instruction
// that CPU lacks fails the test. The ELF header's machine field and byte
// order tell which emulator and model.
struct emulation {
    std::string qemu;
    std::string cpu;
};

emulation emulation_for(const std::string& program) {
    constexpr std::size_t byte_order_offset = 5;
    constexpr unsigned char big_endian = 2;
    constexpr std::size_t machine_offset = 18;
    unsigned char header[machine_offset + 2] = {};
    const int fd = open(program.c_str(), O_RDONLY | O_CLOEXEC);
    if (fd < 0) {
        return {};
    }
    const bool read_whole = read(fd, header, sizeof header) == static_cast<ssize_t>(sizeof header);
    close(fd);
    if (!read_whole) {
        return {};
    }
    const bool is_big_endian = header[byte_order_offset] == big_endian;
    const unsigned machine = is_big_endian
                                 ? header[machine_offset] << 8U | header[machine_offset + 1]
                                 : header[machine_offset + 1] << 8U | header[machine_offset];
    constexpr unsigned intel_386 = 3;
    constexpr unsigned mips = 8;
    constexpr unsigned powerpc = 20;
    constexpr unsigned arm = 40;
    const std::string qemu = QEMU_USER_PREFIX;
    switch (machine) {
        case intel_386:
            return {qemu + "i386-static", "486"};
        case arm:
            // ARMv4T (ARM925T), and the XScale of the big-endian boards.
            return is_big_endian ? emulation{qemu + "armeb-static", "pxa250"}
                                 : emulation{qemu + "arm-static", "ti925t"};
        case mips:
            // The MIPS32 release 1 core.
            return {qemu + (is_big_endian ? "mips-static" : "mipsel-static"), "4Kc"};
        case powerpc:
            return {qemu + "ppc-static", "603"};
        default:
            return {};
    }
}

std::string drain(int fd) {
    std::string text;
    char chunk[4096];
    ssize_t got = 0;
    while ((got = read(fd, chunk, sizeof chunk)) > 0) {
        text.append(chunk, static_cast<std::size_t>(got));
    }
    close(fd);
    return text;
}

// This process's environment, with extra options appended to ASAN_OPTIONS.
std::vector<std::string> environment_with_asan_options(const std::vector<std::string>& extra) {
    const std::string name = "ASAN_OPTIONS=";
    std::string asan_options = name;
    std::vector<std::string> environment;
    for (char** variable = environ; *variable != nullptr; ++variable) {
        const std::string word = *variable;
        if (word.starts_with(name)) {
            asan_options = word;
        } else {
            environment.push_back(word);
        }
    }
    for (const std::string& option : extra) {
        asan_options += (asan_options.size() > name.size() ? ":" : "") + option;
    }
    environment.push_back(asan_options);
    return environment;
}

}  // namespace

std::vector<std::string> lines_of(const std::string& text) {
    std::vector<std::string> lines;
    std::size_t at = 0;
    while (at < text.size()) {
        std::size_t end = text.find('\n', at);
        if (end == std::string::npos) {
            end = text.size();
        }
        lines.push_back(text.substr(at, end - at));
        at = end + 1;
    }
    return lines;
}

std::vector<char*> null_terminated(std::vector<std::string>& words) {
    std::vector<char*> pointers;
    pointers.reserve(words.size() + 1);
    std::transform(words.begin(), words.end(), std::back_inserter(pointers),
                   [](std::string& word) { return word.data(); });
    pointers.push_back(nullptr);
    return pointers;
}

const tool_build& tool_under_test() {
    static const tool_build build = [] {
        const char* chosen = std::getenv("USBFS_FSTAB_PATCH_TOOL");
        const bool built_here = chosen == nullptr || chosen[0] == '\0';
        tool_build tool;
        tool.path = built_here ? TOOL_PATH : chosen;
        emulation emulated = emulation_for(tool.path);
        // Another CPU model of the same family, such as a PowerPC without
        // an FPU, may be asked for.
        const char* cpu = std::getenv("USBFS_FSTAB_PATCH_QEMU_CPU");
        if (!emulated.qemu.empty() && cpu != nullptr && cpu[0] != '\0') {
            emulated.cpu = cpu;
        }
        tool.emulator = emulated.qemu;
        tool.emulator_cpu = emulated.cpu;
        tool.sanitized = built_here && TOOL_IS_SANITIZED;
        return tool;
    }();
    return build;
}

injections on_table(std::vector<std::string> rules) {
    return {{table_path}, std::move(rules)};
}

injections on_backup(std::vector<std::string> rules) {
    return {{backup_path}, std::move(rules)};
}

injections on_etc(std::vector<std::string> rules) {
    return {{etc_path}, std::move(rules)};
}

injections on_the_files_it_changes(std::vector<std::string> rules) {
    return {{table_path, backup_path, etc_path}, std::move(rules)};
}

injections on_every_call(std::vector<std::string> rules) {
    return {{}, std::move(rules)};
}

bool strace_available() {
    return strace_path[0] != '\0';
}

traced_run run_tool_traced(run_options options) {
    char trace_path[] = "/tmp/usbfs-fstab-patch-trace-XXXXXX";
    const int trace_fd = mkstemp(trace_path);
    if (trace_fd < 0) {
        ADD_FAILURE() << "mkstemp: " << strerror(errno);
        return {};
    }
    (void)close(trace_fd);
    options.trace_file = trace_path;
    traced_run run;
    run.result = run_tool(options);
    run.trace = file_contents(trace_path);
    (void)unlink(trace_path);
    return run;
}

bool traced_call::opens_the_table() const {
    return name.starts_with("open") && line.find("\"/etc/fstab\"") != std::string::npos;
}

std::vector<traced_call> calls_in(const std::string& trace) {
    std::vector<traced_call> calls;
    std::map<std::string, int> seen;
    for (const std::string& line : lines_of(trace)) {
        const std::size_t thread_end = line.find_first_not_of("0123456789");
        const std::size_t name_begin = line.find_first_not_of(' ', thread_end);
        const std::size_t parenthesis = line.find('(', name_begin);
        // Signals, exits and the second halves of interrupted calls are no
        // calls of their own.
        if (name_begin == std::string::npos || parenthesis == std::string::npos ||
            line.compare(name_begin, 3, "---") == 0 || line.compare(name_begin, 3, "+++") == 0 ||
            line.compare(name_begin, 4, "<...") == 0) {
            continue;
        }
        traced_call call;
        call.thread = line.substr(0, thread_end);
        call.name = line.substr(name_begin, parenthesis - name_begin);
        call.occurrence = ++seen[call.thread + " " + call.name];
        call.line = line;
        calls.push_back(std::move(call));
    }
    return calls;
}

std::string without_sanitizer_allocation_warning(std::string text) {
    if (!tool_under_test().sanitized) {
        return text;
    }
    const std::size_t note = text.find("==");
    const std::string_view warning = "==WARNING: AddressSanitizer failed to allocate ";
    const std::size_t warning_at = text.find(warning, note + 1);
    const std::size_t end = text.find('\n', warning_at);
    if (note != std::string::npos && warning_at != std::string::npos && end != std::string::npos &&
        text.find_first_not_of("0123456789", note + 2) == warning_at) {
        text.erase(note, end + 1 - note);
    }
    return text;
}

std::vector<int> mmaps_of_at_least(const std::string& trace, off_t size) {
    const std::vector<traced_call> calls = calls_in(trace);
    std::vector<int> found;
    bool table_opened = false;
    for (const traced_call& call : calls) {
        // The first call, the exec, is the main thread's.
        if (call.thread != calls.front().thread) {
            continue;
        }
        table_opened = table_opened || call.opens_the_table();
        if (!table_opened || call.name != "mmap") {
            continue;
        }
        const std::size_t length = call.line.find(", ");
        if (length != std::string::npos &&
            std::strtoll(call.line.c_str() + length + 2, nullptr, 10) >= size) {
            found.push_back(call.occurrence);
        }
    }
    return found;
}

running_tool start_tool(const run_options& options) {
    require_private_etc();
    const tool_build& tool = tool_under_test();
    std::vector<std::string> words;
    std::vector<std::string> asan_options = options.asan_options;
    if (!options.injected.rules.empty() || !options.trace_file.empty()) {
        // Under the emulator the tool's calls are made by qemu, on the same
        // paths and descriptors; -f follows any thread it makes them from.
        words = {strace_path, "-f", "-o",
                 options.trace_file.empty() ? "/dev/null" : options.trace_file};
        for (const char* path : options.injected.paths) {
            words.emplace_back("-P");
            words.emplace_back(path);
        }
        for (const std::string& rule : options.injected.rules) {
            words.emplace_back("-e");
            words.push_back("inject=" + rule);
        }
        // LeakSanitizer can't work under ptrace; the runs without strace
        // still look for leaks.
        asan_options.emplace_back("detect_leaks=0");
    }
    // The emulator opens the binary by its path, which another user may
    // not reach; it is given a descriptor's path instead, open before the
    // user changes and kept open across both execs.
    int emulated_binary = -1;
    if (!tool.emulator.empty()) {
        emulated_binary = open(tool.path.c_str(), O_RDONLY);
        words.push_back(tool.emulator);
        words.emplace_back("-cpu");
        words.push_back(tool.emulator_cpu);
        words.push_back("/proc/self/fd/" + std::to_string(emulated_binary));
    } else {
        words.push_back(tool.path);
    }
    words.insert(words.end(), options.arguments.begin(), options.arguments.end());
    std::vector<char*> argv = null_terminated(words);
    std::vector<std::string> environment_words = environment_with_asan_options(asan_options);
    std::vector<char*> envp = null_terminated(environment_words);

    // The program is opened here and started through its descriptor: run
    // as another user, the child may not be allowed to reach its path.
    const int program = open(argv[0], O_RDONLY | O_CLOEXEC);
    int output[2];
    int error[2];
    if (program < 0 || pipe2(output, O_CLOEXEC) != 0 || pipe2(error, O_CLOEXEC) != 0) {
        ADD_FAILURE() << argv[0] << ": " << strerror(errno);
        return {};
    }
    running_tool run;
    run.may_be_killed = options.may_be_killed;
    const pid_t child = fork();
    if (child == 0) {
        // The alarm outlives execve: a tool that hangs is killed and fails
        // its test instead of outliving it.
        alarm(tool_time_limit_seconds);
        umask(0);
        dup2(output[1], STDOUT_FILENO);
        if (options.close_standard_error) {
            close(STDERR_FILENO);
        } else {
            dup2(error[1], STDERR_FILENO);
        }
        if (options.address_space_limit) {
            const rlimit limit{*options.address_space_limit, *options.address_space_limit};
            if (setrlimit(RLIMIT_AS, &limit) != 0) {
                _exit(126);
            }
        }
        if (options.as_user && (setgid(*options.as_user) != 0 || setuid(*options.as_user) != 0)) {
            _exit(126);
        }
        fexecve(program, argv.data(), envp.data());
        _exit(127);
    }
    close(program);
    if (emulated_binary >= 0) {
        close(emulated_binary);
    }
    close(output[1]);
    close(error[1]);
    if (child < 0) {
        ADD_FAILURE() << "fork: " << strerror(errno);
    }
    run.process = child;
    run.standard_output = output[0];
    run.standard_error = error[0];
    return run;
}

run_result finish_tool(const running_tool& run) {
    run_result result;
    if (run.process < 0) {
        return result;
    }
    // The tool prints a few dozen bytes, far less than a pipe holds, so
    // reading one pipe after the other can't block it.
    result.standard_output = drain(run.standard_output);
    result.standard_error = drain(run.standard_error);
    int wait_status = 0;
    if (waitpid(run.process, &wait_status, 0) != run.process) {
        ADD_FAILURE() << "waiting for the tool: " << strerror(errno);
        return result;
    }
    if (WIFSIGNALED(wait_status)) {
        result.signal = WTERMSIG(wait_status);
    }
    if (!WIFEXITED(wait_status)) {
        if (!run.may_be_killed) {
            ADD_FAILURE() << "the tool did not exit normally";
        }
        return result;
    }
    result.status = WEXITSTATUS(wait_status);
    return result;
}

run_result run_tool(const run_options& options) {
    return finish_tool(start_tool(options));
}

void ToolSandbox::SetUp() {
    const tool_build& tool = tool_under_test();
    if (access(tool.path.c_str(), X_OK) != 0) {
        SKIP_OR_FAIL_UNDER_CI(tool.path +
                              " is not built; each release binary is built by its preset, "
                              "such as cmake --workflow --preset release-i386");
    }
    if (!tool.emulator.empty() && access(tool.emulator.c_str(), X_OK) != 0) {
        SKIP_OR_FAIL_UNDER_CI(tool.emulator + ", which runs " + tool.path +
                              " here, is not installed (Debian's qemu-user-static)");
    }
    EtcSandbox::SetUp();
}
