# Sourced by the scripts. A script names the Debian packages it needs with
# the need_* functions below, then calls install_needed, which installs only
# the missing ones. As root it runs apt-get; as anyone else it prints the
# commands that would, and stops, so nothing half-installed is left behind.

needed_packages=
needed_architectures=

# need PACKAGE COMMAND...: PACKAGE is needed unless COMMAND succeeds.
need() {
    package=$1
    shift
    "$@" >/dev/null 2>&1 && return 0
    case " $needed_packages " in
    *" $package "*) ;;
    *) needed_packages="$needed_packages $package" ;;
    esac
    # musl for i386 comes from that architecture's archive.
    case $package in
    *:*)
        architecture=${package#*:}
        if ! dpkg --print-foreign-architectures | grep -qx "$architecture"; then
            case " $needed_architectures " in
            *" $architecture "*) ;;
            *) needed_architectures="$needed_architectures $architecture" ;;
            esac
        fi
        ;;
    esac
}

has_command() { command -v "$1"; }
has_file() { [ -e "$1" ]; }
# A runtime library of clang's own, such as the builtins or the fuzzer.
has_clang_runtime() { [ -e "$(clang++ -print-resource-dir)/lib/linux/$1" ]; }

# The release binary for x86_64: clang, musl's static C library, libc++'s
# headers and clang's builtins. No test framework.
need_release_build() {
    need cmake has_command cmake
    need ninja-build has_command ninja
    need clang has_command clang++
    need musl-dev has_file /usr/lib/x86_64-linux-musl/libc.a
    need libc++-14-dev has_file /usr/lib/llvm-14/include/c++/v1/optional
    need libclang-rt-14-dev has_clang_runtime libclang_rt.builtins-x86_64.a
}

# All seven release binaries: also Debian's musl for i386, and, for the
# CPUs that Debian has no musl for, the cross compilers that build musl from
# its source and the binutils that link the tool (they come with the
# compilers).
need_release_builds() {
    need_release_build
    need musl-dev:i386 has_file /usr/lib/i386-linux-musl/libc.a
    need gcc-arm-linux-gnueabi has_command arm-linux-gnueabi-gcc
    need gcc-mips-linux-gnu has_command mips-linux-gnu-gcc
    need gcc-mipsel-linux-gnu has_command mipsel-linux-gnu-gcc
    need gcc-powerpc-linux-gnu has_command powerpc-linux-gnu-gcc
    need make has_command make
}

# What the package checks read the packages with.
need_package_checks() {
    need groff-base has_command groff
    need file has_command file
    need binutils has_command readelf
    need lintian has_command lintian
}

install_needed() {
    [ -n "$needed_packages" ] || return 0
    script=${0##*/}
    if [ "$(id -u)" -ne 0 ]; then
        echo "$script: Debian packages are missing; as root, run:" >&2
        for architecture in $needed_architectures; do
            echo "    dpkg --add-architecture $architecture" >&2
        done
        echo "    apt-get update" >&2
        echo "    apt-get install -y --no-install-recommends$needed_packages" >&2
        exit 1
    fi
    echo "$script: installing$needed_packages"
    for architecture in $needed_architectures; do
        dpkg --add-architecture "$architecture"
    done
    apt-get update
    # shellcheck disable=SC2086 # one word a package
    DEBIAN_FRONTEND=noninteractive apt-get install -y --no-install-recommends $needed_packages
}

# Every check: the gcc build and its tests, the old-kernel boot tests, the
# sanitizers, the fuzzer, lint and the package checks.
need_checks() {
    need_release_builds
    need_package_checks
    need g++ has_command g++
    # The gcc build links the tool statically, against glibc's libc.a.
    need libc6-dev has_file /usr/lib/x86_64-linux-gnu/libc.a
    need libgtest-dev has_file /usr/include/gtest/gtest.h
    need libbenchmark-dev has_file /usr/include/benchmark/benchmark.h
    need strace has_command strace
    need clang-tidy has_command clang-tidy
    need clang-format has_command clang-format
    need cppcheck has_command cppcheck
    need libclang-rt-14-dev has_clang_runtime libclang_rt.fuzzer-x86_64.a
    # The release binaries but x86_64's run under qemu's user-mode
    # emulators, and the boot tests start old kernels under qemu's system
    # emulators, one of them from an ext2 disk image.
    need qemu-user-static has_command qemu-arm-static
    need qemu-system-x86 has_command qemu-system-x86_64
    need qemu-system-arm has_command qemu-system-arm
    need qemu-system-mips has_command qemu-system-mipsel
    need e2fsprogs has_command debugfs
}
