# Release toolchain: ARM EABI soft-float (armel: ARMv5TE and later), static
# musl, for Linux 2.6.16 and later. Binutils for ARM link it, and the cross
# libgcc supplies the division helpers that ARMv5 lacks in hardware.
set(CMAKE_SYSTEM_PROCESSOR armv5te)
set(musl_triple arm-linux-musleabi)
set(musl_arch_flags -march=armv5te -mfloat-abi=soft)
set(musl_builtins /usr/lib/gcc-cross/arm-linux-gnueabi/12/libgcc.a)
set(musl_linker /usr/bin/arm-linux-gnueabi-ld)
include(${CMAKE_CURRENT_LIST_DIR}/musl-static.cmake)
