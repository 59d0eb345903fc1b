#pragma once

#include <sys/types.h>

#include <cstddef>
#include <span>
#include <string_view>

// Owns one open file descriptor; -1 means closed. Move-only, so that each
// descriptor is closed exactly once.
class unique_fd {
public:
    explicit unique_fd(int fd) : fd_(fd) {}
    unique_fd(unique_fd&& other) noexcept;
    unique_fd& operator=(unique_fd&& other) noexcept;
    unique_fd(const unique_fd&) = delete;
    unique_fd& operator=(const unique_fd&) = delete;
    // Closing here is only the clean-up of a path that has already failed;
    // a successful path calls close() and checks it.
    ~unique_fd();

    [[nodiscard]] bool is_open() const { return fd_ >= 0; }
    [[nodiscard]] int get() const { return fd_; }

    // Closes the descriptor once, and never again after EINTR: Linux has
    // released it by then. True when the close reported no error.
    [[nodiscard]] bool close();

private:
    int fd_ = -1;
};

// Opens path, retrying on EINTR. The descriptor is never 0, 1 or 2, so a
// message meant for standard error can't land in a file even when the
// tool was started with standard error closed. Closed on failure. No
// close-on-exec flag is asked for: the tool starts no program, and kernels
// before 2.6.23 would ignore the flag anyway.
unique_fd open_file(const char* path, int flags, mode_t mode = 0);

// Reads until buffer is full, retrying on EINTR and looping over short
// reads. False on an error or when the end of the file comes first.
[[nodiscard]] bool read_fully(int fd, std::span<char> buffer);

// Writes all of bytes, retrying on EINTR and looping over short writes.
// False on an error.
[[nodiscard]] bool write_fully(int fd, std::string_view bytes);

// Writes first and then second in one request, and loops over a short
// write with the rest; retries on EINTR. False on an error.
[[nodiscard]] bool write_both_fully(int fd, std::string_view first, std::string_view second);

// Takes an exclusive lock on the file, waiting for it and retrying on
// EINTR. True when the lock is held, or when the file system refuses locks
// (ENOLCK, EOPNOTSUPP); false on any other error.
[[nodiscard]] bool lock_or_go_on_without(int fd);
