# What the router toolchain files share; they set QV2_TRIPLET, QV2_PROCESSOR,
# QV2_EMULATOR and maybe QV2_ARCH_FLAGS first. Debian's cross compiler
# (g++-TRIPLET), c-ares and mbedTLS as scripts/deps.sh builds them for the
# target (with this file too). Executables are static, stripped and
# size-optimised by default; the tests are linked statically too and run
# under the emulator.
set(CMAKE_SYSTEM_NAME Linux)
set(CMAKE_SYSTEM_PROCESSOR ${QV2_PROCESSOR})
set(CMAKE_C_COMPILER ${QV2_TRIPLET}-gcc)
set(CMAKE_CXX_COMPILER ${QV2_TRIPLET}-g++)
set(CMAKE_LIBRARY_ARCHITECTURE ${QV2_TRIPLET})
set(CMAKE_FIND_ROOT_PATH /usr/${QV2_TRIPLET})
set(CMAKE_FIND_ROOT_PATH_MODE_PROGRAM NEVER)
set(CMAKE_FIND_ROOT_PATH_MODE_LIBRARY ONLY)
set(CMAKE_FIND_ROOT_PATH_MODE_INCLUDE ONLY)
set(CMAKE_FIND_ROOT_PATH_MODE_PACKAGE ONLY)

# Where the target's C library links no static PIE (no rcrt1.o), the
# executables load at a fixed address, and position-independent code would
# only make them larger: a thirtieth on MIPS.
if(EXISTS /usr/${QV2_TRIPLET}/lib/rcrt1.o)
    set(QV2_STATIC_PIE ON)
else()
    string(APPEND QV2_ARCH_FLAGS " -fno-pie")
    set(CMAKE_EXE_LINKER_FLAGS_INIT -no-pie)
endif()
set(CMAKE_C_FLAGS_INIT ${QV2_ARCH_FLAGS})
set(CMAKE_CXX_FLAGS_INIT ${QV2_ARCH_FLAGS})
set(QV2_STATIC ON CACHE BOOL "Fully static, stripped, size-optimised executables")
set(CMAKE_CROSSCOMPILING_EMULATOR ${QV2_EMULATOR} CACHE STRING "Runs target programs here")
