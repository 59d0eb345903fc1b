# Shared part of the release toolchains: clang, musl's static C library and
# libc++'s headers, with no C++ runtime library linked at all. The release
# binary must start on Linux 2.6, where glibc's start-up code and its fstat
# fail, so it carries a C library that starts there. Every symbol it needs
# must come from musl's libc.a or the compiler's builtins: anything else,
# such as a C++ runtime function that creeps in, fails the link instead of
# the run on an old machine.
#
# The file that includes this one sets:
#   musl_triple        the target triple for clang, also musl's multiarch name
#   musl_arch_flags    code generation flags for the target
#   musl_builtins      the compiler's support library (division helpers), or
#                      empty for clang's own compiler-rt builtins
#   musl_linker        the linker, or empty for clang's default
set(CMAKE_SYSTEM_NAME Linux)
set(CMAKE_CXX_COMPILER clang++)
set(CMAKE_CXX_COMPILER_TARGET ${musl_triple})

execute_process(COMMAND clang++ -print-resource-dir
                OUTPUT_VARIABLE clang_resource_dir OUTPUT_STRIP_TRAILING_WHITESPACE)
if(NOT musl_builtins)
    execute_process(
        COMMAND clang++ --target=${musl_triple} --rtlib=compiler-rt -print-libgcc-file-name
        OUTPUT_VARIABLE musl_builtins OUTPUT_STRIP_TRAILING_WHITESPACE)
endif()

set(musl_library_dir /usr/lib/${musl_triple})
set(musl_include_dir /usr/include/${musl_triple})
set(libcxx_include_dir /usr/lib/llvm-14/include/c++/v1)
foreach(required ${musl_library_dir}/libc.a ${musl_include_dir}/stdio.h
                 ${libcxx_include_dir}/optional ${musl_builtins})
    if(NOT EXISTS ${required})
        message(FATAL_ERROR "The release toolchain for ${musl_triple} needs ${required}; "
                            "see the README for the packages that bring it")
    endif()
endforeach()

# Only the headers named here are seen: libc++'s, the compiler's own, and
# musl's. The host's glibc headers never are.
string(JOIN " " musl_compile_flags
    ${musl_arch_flags}
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
if(musl_linker)
    string(APPEND musl_link_flags " --ld-path=${musl_linker}")
endif()
set(CMAKE_EXE_LINKER_FLAGS_INIT "${musl_link_flags}")

# musl's start files (rcrt1.o: the one for a static PIE) around the objects,
# then its C library and the compiler's builtins; nothing else is searched.
# The compile flags stay out of the link, where the header options mean
# nothing.
set(CMAKE_CXX_LINK_EXECUTABLE
    "<CMAKE_CXX_COMPILER> --target=${musl_triple} <CMAKE_CXX_LINK_FLAGS> <LINK_FLAGS> ${musl_library_dir}/rcrt1.o ${musl_library_dir}/crti.o <OBJECTS> -o <TARGET> <LINK_LIBRARIES> ${musl_library_dir}/libc.a ${musl_builtins} ${musl_library_dir}/crtn.o")

set(CMAKE_FIND_ROOT_PATH ${musl_library_dir})
set(CMAKE_FIND_ROOT_PATH_MODE_PROGRAM NEVER)
set(CMAKE_FIND_ROOT_PATH_MODE_LIBRARY ONLY)
set(CMAKE_FIND_ROOT_PATH_MODE_INCLUDE ONLY)
set(CMAKE_FIND_ROOT_PATH_MODE_PACKAGE ONLY)
