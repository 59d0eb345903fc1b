# The release binaries, one row each: adding a CPU family is adding a row
# here and its preset to CMakePresets.json. The preset for NAME is
# release-NAME (plain "release" for x86_64), and its binary is
# build-<preset>/usbfs-fstab-patch. A row gives:
#   TRIPLE     clang's target triple, also musl's --target
#   FLAGS      code generation for the oldest CPU of the family; musl, where
#              it is built here, is built with the same flags
#   MUSL       "debian": Debian's musl-dev for that architecture;
#              "source": musl built here from Debian's source with GCC
#   GCC        the cross compiler that builds musl from source
#   LINKER     the target's GNU ld; empty: clang's default
#   DIVISION   ON where the CPU has no divide instruction that musl could use
#   DEB        Debian's architecture name for the package; empty: none
#   FORBIDDEN  an extended regular expression for the mnemonics that the
#              oldest CPU lacks, which the tests look for in the binary
#   OBJDUMP    the objdump that reads the binary
#   ALSO_CPUS  qemu CPU models that the tests run the binary on besides the
#              oldest of the family, which the tests take from its ELF header
#
# A row that needs a builtin of the compiler, beyond what DIVISION brings,
# fails to link: every such dependency shows at build time.
set(release_targets)

function(release_target name)
    cmake_parse_arguments(PARSE_ARGV 1 row "DIVISION"
                          "TRIPLE;MUSL;GCC;LINKER;DEB;FORBIDDEN;OBJDUMP" "FLAGS;ALSO_CPUS")
    foreach(field TRIPLE MUSL GCC LINKER DEB FORBIDDEN OBJDUMP FLAGS ALSO_CPUS DIVISION)
        set(release_${name}_${field} "${row_${field}}" PARENT_SCOPE)
    endforeach()
    set(release_targets ${release_targets} ${name} PARENT_SCOPE)
endfunction()

# The preset of a row.
function(release_preset_of name out)
    if(name STREQUAL "x86_64")
        set(${out} release PARENT_SCOPE)
    else()
        set(${out} release-${name} PARENT_SCOPE)
    endif()
endfunction()

# musl's ARM atomics hold ldrex, strex and dmb for ARMv6 and later, and
# choose them at run time only where the kernel's hardware capabilities say
# the CPU has them, so those three are left out of the ARM lists; the
# emulated runs on ARMv4T and XScale would stop at any of them.
set(arm_v6_and_later "rev[a-z0-9]*|[su]xt[a-z0-9]*|movw|movt|umaal|[su]div|bfi|bfc|ubfx|sbfx|v[a-z0-9.]+")
set(x87_and_sse "f[a-z0-9]+|[a-z]*(ps|pd|ss|sd)|movq|emms")
set(mips32r2_and_fpu "ext|ins|seb|seh|wsbh|rotrv?|di|ei|synci|[a-z.]+\\.(s|d|w|l|ps)|[ls][wd]c1|[ls][wd]xc1|m[ft]h?c1|[cm]t?fc1|bc1[ft]l?")
set(powerpc_fpu_altivec_spe "^(f[a-z]+\\.?|lf[a-z]+|stf[a-z]+|mffs\\.?|mtfs[a-z0-9]*\\.?|v[a-z0-9]+|lv[a-z]+|stv[a-z]+|m[ft]vscr|dss[a-z]*|dst[a-z]*|ev[a-z]+)$")

release_target(x86_64
    TRIPLE x86_64-linux-musl FLAGS -march=x86-64
    MUSL debian DEB amd64 OBJDUMP objdump
    FORBIDDEN "^v[a-z0-9]+$")
release_target(i386
    TRIPLE i386-linux-musl FLAGS -march=i486
    MUSL debian DEB i386 OBJDUMP objdump
    FORBIDDEN "^(cmov[a-z]+|fcmov[a-z]+|cmpxchg8b|rdtsc|sysenter|cpuid|${x87_and_sse})$")
release_target(armel
    TRIPLE arm-linux-musleabi FLAGS -march=armv4t -marm -mfloat-abi=soft
    MUSL source GCC arm-linux-gnueabi-gcc LINKER arm-linux-gnueabi-ld DIVISION
    DEB armel OBJDUMP arm-linux-gnueabi-objdump
    FORBIDDEN "^(blx|clz|ldrd|strd|pld|${arm_v6_and_later})$")
release_target(armeb
    TRIPLE armeb-linux-musleabi FLAGS -mbig-endian -march=armv5te -marm -mfloat-abi=soft
    MUSL source GCC arm-linux-gnueabi-gcc LINKER arm-linux-gnueabi-ld DIVISION
    OBJDUMP arm-linux-gnueabi-objdump
    FORBIDDEN "^(${arm_v6_and_later})$")
release_target(mips
    TRIPLE mips-linux-musl FLAGS -march=mips32 -msoft-float
    MUSL source GCC mips-linux-gnu-gcc LINKER mips-linux-gnu-ld
    DEB mips OBJDUMP mips-linux-gnu-objdump
    FORBIDDEN "^(${mips32r2_and_fpu})$")
release_target(mipsel
    TRIPLE mipsel-linux-musl FLAGS -march=mips32 -msoft-float
    MUSL source GCC mipsel-linux-gnu-gcc LINKER mipsel-linux-gnu-ld
    DEB mipsel OBJDUMP mipsel-linux-gnu-objdump
    FORBIDDEN "^(${mips32r2_and_fpu})$")
release_target(powerpc
    TRIPLE powerpc-linux-musl FLAGS -mcpu=powerpc -msoft-float -mlong-double-64
    MUSL source GCC powerpc-linux-gnu-gcc LINKER powerpc-linux-gnu-ld
    DEB powerpc OBJDUMP powerpc-linux-gnu-objdump ALSO_CPUS mpc8xx
    FORBIDDEN "${powerpc_fpu_altivec_spe}")
