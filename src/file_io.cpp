#include "file_io.h"

#include <fcntl.h>
#include <sys/file.h>
#include <sys/uio.h>
#include <unistd.h>

#include <cerrno>
#include <utility>

unique_fd::unique_fd(unique_fd&& other) noexcept : fd_(std::exchange(other.fd_, -1)) {}

unique_fd& unique_fd::operator=(unique_fd&& other) noexcept {
    if (this != &other) {
        if (fd_ >= 0) {
            (void)::close(fd_);
        }
        fd_ = std::exchange(other.fd_, -1);
    }
    return *this;
}

unique_fd::~unique_fd() {
    if (fd_ >= 0) {
        (void)::close(fd_);
    }
}

bool unique_fd::close() {
    return ::close(std::exchange(fd_, -1)) == 0;
}

unique_fd open_file(const char* path, int flags, mode_t mode) {
    int fd = -1;
    do {
        fd = ::open(path, flags, mode);
    } while (fd < 0 && errno == EINTR);
    if (fd >= 0 && fd <= STDERR_FILENO) {
        const int moved = fcntl(fd, F_DUPFD, STDERR_FILENO + 1);
        (void)::close(fd);
        fd = moved;
    }
    return unique_fd(fd);
}

bool read_fully(int fd, std::span<char> buffer) {
    while (!buffer.empty()) {
        const ssize_t got = ::read(fd, buffer.data(), buffer.size());
        if (got < 0 && errno == EINTR) {
            continue;
        }
        if (got <= 0) {
            return false;
        }
        buffer = buffer.subspan(static_cast<std::size_t>(got));
    }
    return true;
}

bool write_fully(int fd, std::string_view bytes) {
    while (!bytes.empty()) {
        const ssize_t put = ::write(fd, bytes.data(), bytes.size());
        if (put < 0 && errno == EINTR) {
            continue;
        }
        if (put <= 0) {
            return false;
        }
        bytes.remove_prefix(static_cast<std::size_t>(put));
    }
    return true;
}

bool write_both_fully(int fd, std::string_view first, std::string_view second) {
    while (!first.empty()) {
        // The const_cast only meets iovec's type: writev reads the bytes.
        iovec pieces[] = {{const_cast<char*>(first.data()), first.size()},
                          {const_cast<char*>(second.data()), second.size()}};
        const ssize_t put = ::writev(fd, pieces, 2);
        if (put < 0 && errno == EINTR) {
            continue;
        }
        if (put <= 0) {
            return false;
        }
        const auto written = static_cast<std::size_t>(put);
        if (written < first.size()) {
            first.remove_prefix(written);
        } else {
            second.remove_prefix(written - first.size());
            first = {};
        }
    }
    return write_fully(fd, second);
}

bool lock_or_go_on_without(int fd) {
    int result = 0;
    do {
        result = ::flock(fd, LOCK_EX);
    } while (result != 0 && errno == EINTR);
    return result == 0 || errno == ENOLCK || errno == EOPNOTSUPP;
}
