// The private /etc that every test of the real binary works in: a mount
// namespace of the test process's own with an empty tmpfs over /etc, so
// that the machine's own table is never touched, and the file checks made
// inside it.
#pragma once

#include <sys/stat.h>
#include <sys/types.h>

#include <gtest/gtest.h>

#include <optional>
#include <string>

inline constexpr const char* table_path = "/etc/fstab";
inline constexpr const char* backup_path = "/etc/fstab.bak";
inline constexpr const char* etc_path = "/etc";

// Only a real root can change owners and act as another user; inside a user
// namespace of one mapped ID the tests that need it skip.
bool started_as_root();

// Elsewhere a missing prerequisite skips the test; under CI it fails, so a
// green CI run means that these tests really ran.
bool running_under_ci();

#define SKIP_OR_FAIL_UNDER_CI(reason) \
    do {                              \
        if (running_under_ci()) {     \
            GTEST_FAIL() << (reason); \
        }                             \
        GTEST_SKIP() << (reason);     \
    } while (false)

// The last line of defence for the machine's own table: no file is written
// and the tool is never started unless /etc is a tmpfs. Aborts otherwise.
void require_private_etc();

std::optional<std::string> file_contents(const char* path);
void put_file(const char* path, const std::string& contents, mode_t mode = 0644);
void bind_mount(const char* source, const char* target);
struct stat stat_of(const char* path);

// Each test gets an empty tmpfs of its own over /etc.
class EtcSandbox : public testing::Test {
protected:
    void SetUp() override;
    void TearDown() override;
    void mount_empty_etc(const std::string& tmpfs_options);

private:
    int etc_mounts_ = 0;
};

// What a file must hold after the run.
struct expected_file {
    enum { absent, holds, unchecked } kind;
    std::string contents;
};
expected_file absent();
expected_file holds(const std::string& contents);
expected_file unchecked();

// An unchecked file is not even read: it may be /dev/full, which never ends.
void expect_file(const char* path, const expected_file& expected);
