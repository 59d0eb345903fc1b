#include "sandbox.h"

#include <fcntl.h>
#include <linux/magic.h>
#include <sched.h>
#include <sys/mount.h>
#include <sys/vfs.h>
#include <unistd.h>

#include <cerrno>
#include <cstdlib>
#include <cstring>

namespace {

bool write_id_map(const char* path, const std::string& map) {
    const int fd = open(path, O_WRONLY | O_CLOEXEC);
    if (fd < 0) {
        return false;
    }
    const bool written = write(fd, map.data(), map.size()) == static_cast<ssize_t>(map.size());
    return close(fd) == 0 && written;
}

// Moves this test process into a mount namespace of its own, whose mounts
// never propagate back. Empty on success, else why it could not.
std::string enter_private_mount_namespace() {
    if (started_as_root()) {
        if (unshare(CLONE_NEWNS) != 0) {
            return std::string("unshare(CLONE_NEWNS): ") + strerror(errno);
        }
    } else {
        const uid_t uid = geteuid();
        const gid_t gid = getegid();
        if (unshare(CLONE_NEWUSER | CLONE_NEWNS) != 0) {
            return std::string("unshare(CLONE_NEWUSER|CLONE_NEWNS): ") + strerror(errno);
        }
        if (!write_id_map("/proc/self/setgroups", "deny") ||
            !write_id_map("/proc/self/uid_map", "0 " + std::to_string(uid) + " 1") ||
            !write_id_map("/proc/self/gid_map", "0 " + std::to_string(gid) + " 1")) {
            return std::string("mapping IDs in the user namespace: ") + strerror(errno);
        }
    }
    if (mount(nullptr, "/", nullptr, MS_REC | MS_PRIVATE, nullptr) != 0) {
        return std::string("making / private: ") + strerror(errno);
    }
    return {};
}

const std::string& namespace_unavailable_reason() {
    static const std::string reason = enter_private_mount_namespace();
    return reason;
}

bool etc_is_tmpfs() {
    struct statfs etc {};
    return statfs(etc_path, &etc) == 0 && etc.f_type == TMPFS_MAGIC;
}

}  // namespace

bool started_as_root() {
    static const bool root = geteuid() == 0;
    return root;
}

bool running_under_ci() {
    const char* ci = std::getenv("CI");
    return ci != nullptr && ci[0] != '\0';
}

void require_private_etc() {
    if (!etc_is_tmpfs()) {
        std::abort();
    }
}

std::optional<std::string> file_contents(const char* path) {
    const int fd = open(path, O_RDONLY | O_CLOEXEC);
    if (fd < 0) {
        return std::nullopt;
    }
    std::string contents;
    char chunk[65536];
    ssize_t got = 0;
    while ((got = read(fd, chunk, sizeof chunk)) > 0) {
        contents.append(chunk, static_cast<std::size_t>(got));
    }
    EXPECT_EQ(got, 0) << path << ": " << strerror(errno);
    close(fd);
    return contents;
}

void put_file(const char* path, const std::string& contents, mode_t mode) {
    require_private_etc();
    const int fd = open(path, O_WRONLY | O_CREAT | O_TRUNC | O_CLOEXEC, mode);
    if (fd < 0) {
        FAIL() << path << ": " << strerror(errno);
    }
    EXPECT_EQ(write(fd, contents.data(), contents.size()), static_cast<ssize_t>(contents.size()));
    EXPECT_EQ(fchmod(fd, mode), 0);
    EXPECT_EQ(close(fd), 0);
}

void bind_mount(const char* source, const char* target) {
    ASSERT_EQ(mount(source, target, nullptr, MS_BIND, nullptr), 0)
        << source << " on " << target << ": " << strerror(errno);
}

struct stat stat_of(const char* path) {
    struct stat status {};
    EXPECT_EQ(lstat(path, &status), 0) << path << ": " << strerror(errno);
    return status;
}

void EtcSandbox::SetUp() {
    if (!namespace_unavailable_reason().empty()) {
        SKIP_OR_FAIL_UNDER_CI("needs a private mount namespace, which this machine refuses: " +
                              namespace_unavailable_reason());
    }
    mount_empty_etc("mode=0755");
}

void EtcSandbox::TearDown() {
    for (; etc_mounts_ > 0; --etc_mounts_) {
        EXPECT_EQ(umount2(etc_path, MNT_DETACH), 0) << strerror(errno);
    }
}

void EtcSandbox::mount_empty_etc(const std::string& tmpfs_options) {
    ASSERT_EQ(mount("tmpfs", etc_path, "tmpfs", 0, tmpfs_options.c_str()), 0)
        << "tmpfs over /etc: " << strerror(errno);
    ++etc_mounts_;
    ASSERT_TRUE(etc_is_tmpfs());
}

expected_file absent() {
    return {expected_file::absent, {}};
}

expected_file holds(const std::string& contents) {
    return {expected_file::holds, contents};
}

expected_file unchecked() {
    return {expected_file::unchecked, {}};
}

void expect_file(const char* path, const expected_file& expected) {
    switch (expected.kind) {
        case expected_file::absent:
            EXPECT_EQ(file_contents(path), std::nullopt) << path << " should not exist";
            break;
        case expected_file::holds:
            EXPECT_EQ(file_contents(path), std::optional<std::string>(expected.contents)) << path;
            break;
        case expected_file::unchecked:
            break;
    }
}
