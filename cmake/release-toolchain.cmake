# The release toolchain: clang, musl's static C library and libc++'s
# headers, with no C++ runtime library linked at all. The release binary
# must start on Linux 2.6, where glibc's start-up code and its fstat fail,
# so it carries a C library that starts there. Every symbol it needs must
# come from musl's libc.a (or, on ARM, the one division routine of the
# tool's own): anything else, such as a C++ runtime function or a compiler
# builtin that creeps in, fails the link instead of the run on an old
# machine.
#
# The preset names its row of release-targets.cmake in
# USBFS_FSTAB_PATCH_TARGET.
include(${CMAKE_CURRENT_LIST_DIR}/release-targets.cmake)
set(release_target "${USBFS_FSTAB_PATCH_TARGET}")
if(NOT release_target IN_LIST release_targets)
    message(FATAL_ERROR "USBFS_FSTAB_PATCH_TARGET is '${release_target}'; "
                        "cmake/release-targets.cmake has: ${release_targets}")
endif()
set(release_triple ${release_${release_target}_TRIPLE})
set(release_flags ${release_${release_target}_FLAGS})
# CMake's own checks build test projects with this file too; they need the
# same row and the musl already built.
list(APPEND CMAKE_TRY_COMPILE_PLATFORM_VARIABLES
     USBFS_FSTAB_PATCH_TARGET USBFS_FSTAB_PATCH_MUSL_DIR)

set(CMAKE_SYSTEM_NAME Linux)
string(REGEX MATCH "^[^-]+" CMAKE_SYSTEM_PROCESSOR ${release_triple})
set(CMAKE_CXX_COMPILER clang++)
set(CMAKE_CXX_COMPILER_TARGET ${release_triple})

execute_process(COMMAND clang++ -print-resource-dir
                OUTPUT_VARIABLE clang_resource_dir OUTPUT_STRIP_TRAILING_WHITESPACE)

if(release_${release_target}_MUSL STREQUAL "debian")
    set(musl_library_dir /usr/lib/${release_triple})
    set(musl_include_dir /usr/include/${release_triple})
else()
    # Built once for this build tree, for the oldest CPU of the row.
    set(USBFS_FSTAB_PATCH_MUSL_DIR "${CMAKE_BINARY_DIR}/musl" CACHE PATH
        "Where musl, built from source for this release target, is installed")
    if(NOT EXISTS ${USBFS_FSTAB_PATCH_MUSL_DIR}/lib/libc.a)
        include(${CMAKE_CURRENT_LIST_DIR}/build-musl.cmake)
        build_musl(${USBFS_FSTAB_PATCH_MUSL_DIR} ${release_triple}
                   ${release_${release_target}_GCC} "${release_flags}")
    endif()
    set(musl_library_dir ${USBFS_FSTAB_PATCH_MUSL_DIR}/lib)
    set(musl_include_dir ${USBFS_FSTAB_PATCH_MUSL_DIR}/include)
endif()

set(libcxx_include_dir /usr/lib/llvm-14/include/c++/v1)
foreach(required ${musl_library_dir}/libc.a ${musl_include_dir}/stdio.h
                 ${libcxx_include_dir}/optional)
    if(NOT EXISTS ${required})
        message(FATAL_ERROR "The release toolchain for ${release_triple} needs ${required}; "
                            "see the README for the packages that bring it")
    endif()
endforeach()

# Only the headers named here are seen: libc++'s, the compiler's own, and
# musl's. The host's glibc headers never are.
string(JOIN " " musl_compile_flags
    ${release_flags}
    -nostdinc -nostdinc++
    -isystem ${libcxx_include_dir}
    -isystem ${clang_resource_dir}/include
    -isystem ${musl_include_dir}
    -D_LIBCPP_HAS_MUSL_LIBC
    -fno-exceptions -fno-rtti
    -fPIE -fstack-protector-strong -Wformat -Werror=format-security -fno-ident
    -fno-asynchronous-unwind-tables -fno-unwind-tables
    -ffunction-sections -fdata-sections)
set(CMAKE_CXX_FLAGS_INIT "${musl_compile_flags}")

# Hardened as Debian builds its packages, as far as a static binary can be:
# a stack protector, position independence (a static PIE, which musl's
# rcrt1.o relocates itself), and relocations read-only once done.
set(musl_link_flags
    "-static-pie -nostdlib -Wl,-z,relro,-z,now -Wl,--gc-sections -Wl,--build-id=none -s")
if(release_${release_target}_LINKER)
    string(APPEND musl_link_flags " --ld-path=/usr/bin/${release_${release_target}_LINKER}")
endif()
set(CMAKE_EXE_LINKER_FLAGS_INIT "${musl_link_flags}")

# musl's start files (rcrt1.o: the one for a static PIE) around the objects,
# then its C library; nothing else is searched. The compile flags stay out
# of the link, where the header options mean nothing.
set(CMAKE_CXX_LINK_EXECUTABLE
    "<CMAKE_CXX_COMPILER> --target=${release_triple} <CMAKE_CXX_LINK_FLAGS> <LINK_FLAGS> ${musl_library_dir}/rcrt1.o ${musl_library_dir}/crti.o <OBJECTS> -o <TARGET> <LINK_LIBRARIES> ${musl_library_dir}/libc.a ${musl_library_dir}/crtn.o")

set(CMAKE_FIND_ROOT_PATH ${musl_library_dir})
set(CMAKE_FIND_ROOT_PATH_MODE_PROGRAM NEVER)
set(CMAKE_FIND_ROOT_PATH_MODE_LIBRARY ONLY)
set(CMAKE_FIND_ROOT_PATH_MODE_INCLUDE ONLY)
set(CMAKE_FIND_ROOT_PATH_MODE_PACKAGE ONLY)
