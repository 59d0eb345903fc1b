# Release toolchain: i386, static musl, for Linux 2.6.12 and later. The code
# is for the i686 that Debian's i386 port assumes, without SSE.
set(CMAKE_SYSTEM_PROCESSOR i686)
set(musl_triple i386-linux-musl)
set(musl_arch_flags -march=i686)
set(musl_builtins "")
set(musl_linker "")
include(${CMAKE_CURRENT_LIST_DIR}/musl-static.cmake)
