# Release toolchain: x86_64, static musl, for Linux 2.6.12 and later.
set(CMAKE_SYSTEM_PROCESSOR x86_64)
set(musl_triple x86_64-linux-musl)
set(musl_arch_flags -march=x86-64)
set(musl_builtins "")
set(musl_linker "")
include(${CMAKE_CURRENT_LIST_DIR}/musl-static.cmake)
