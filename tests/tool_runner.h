// Starting the tool under test inside the private /etc: which build it is,
// how it is started (natively, or under qemu's user-mode emulator), and the
// faults that strace injects into its system calls.
#pragma once

#include <sys/resource.h>
#include <sys/types.h>

#include <optional>
#include <string>
#include <vector>

#include "sandbox.h"

// The build whose binary the tests run. The default is the one built
// beside the tests; USBFS_FSTAB_PATCH_TOOL names another, such as a release
// binary. A binary for another CPU family, or for 32-bit x86, runs under
// qemu's user-mode emulator as the oldest CPU model of its family, or as
// the model that USBFS_FSTAB_PATCH_QEMU_CPU names.
struct tool_build {
    std::string path;
    std::string emulator;  // empty: the binary runs natively
    std::string emulator_cpu;
    bool sanitized = false;
};
const tool_build& tool_under_test();

// strace injections, applied only to the system calls on the paths given,
// so that they never hit the program loader or another of the tool's files,
// or to every call where no path is given. A rule names every variant of its
// call (open,openat; fstat,newfstatat,statx, ...) so that it hits the call
// whichever C library and architecture made it. A rule's call count, its
// when=N, counts only the calls on those paths.
struct injections {
    std::vector<const char*> paths;
    std::vector<std::string> rules;
};
injections on_table(std::vector<std::string> rules);
injections on_backup(std::vector<std::string> rules);
injections on_etc(std::vector<std::string> rules);
// The calls on the table, the backup, and /etc itself: every call in which
// the tool touches the files it changes.
injections on_the_files_it_changes(std::vector<std::string> rules);
injections on_every_call(std::vector<std::string> rules);

struct run_options {
    std::vector<std::string> arguments;
    injections injected;
    bool close_standard_error = false;
    std::optional<uid_t> as_user;
    std::optional<rlim_t> address_space_limit;
    // Added to ASAN_OPTIONS; only a sanitized tool reads them.
    std::vector<std::string> asan_options;
    // Where strace writes the tool's system calls; the tool then runs
    // under strace even with nothing to inject.
    std::string trace_file;
    // A run that a signal ends is then no failure in itself.
    bool may_be_killed = false;
};

struct run_result {
    int status = -1;  // the exit status, or -1 where a signal ended the run
    int signal = 0;   // the signal that ended the run, if one did
    std::string standard_output;
    std::string standard_error;
};

// A run that has been started and not yet waited for.
struct running_tool {
    pid_t process = -1;
    int standard_output = -1;
    int standard_error = -1;
    bool may_be_killed = false;
};

// The lines of a program's output, without their line feeds.
std::vector<std::string> lines_of(const std::string& text);

// The argument vector that execv takes, pointing into words.
std::vector<char*> null_terminated(std::vector<std::string>& words);

// Starts the tool, or strace running the tool, with umask 0 so that the
// creation modes the tool asks for show unmasked.
running_tool start_tool(const run_options& options = {});
// Waits for the run to end and collects what it printed.
run_result finish_tool(const running_tool& run);
run_result run_tool(const run_options& options = {});

bool strace_available();

// A run of the tool under strace, and strace's trace of it; no trace where
// the trace could not be written or read.
struct traced_run {
    run_result result;
    std::optional<std::string> trace;
};
traced_run run_tool_traced(run_options options = {});

// One system call in a trace of strace -f: the thread that made it, the
// call's name, which call of that name it is in that thread (as strace
// counts them for when=N), and strace's whole line for it.
struct traced_call {
    std::string thread;
    std::string name;
    int occurrence = 0;
    std::string line;
    [[nodiscard]] bool opens_the_table() const;
};
std::vector<traced_call> calls_in(const std::string& trace);

// What the tool printed on standard error, less the sanitizer's note on an
// allocation that it refused, as asked; a tool that is not sanitized prints
// none.
std::string without_sanitizer_allocation_warning(std::string text);

// Which of the main thread's mmap calls, counted as strace counts them for
// when=N, map at least size bytes after the table's first open: the calls
// that map the tool's buffers, whichever C library or emulator made them.
std::vector<int> mmaps_of_at_least(const std::string& trace, off_t size);

// A test of the real binary: a private /etc, and the tool under test built.
class ToolSandbox : public EtcSandbox {
protected:
    void SetUp() override;
};
