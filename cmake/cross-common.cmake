# What the router toolchain files share; they set QV2_TRIPLET, QV2_PROCESSOR
# and QV2_EMULATOR first. Debian's cross compiler (crossbuild-essential-*),
# c-ares from the multiarch packages (libc-ares-dev:*), mbedTLS as
# scripts/deps.sh builds it for the target. Executables are
# static, stripped and size-optimised by default; the tests are linked
# statically too and run under the emulator.
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

set(QV2_CARES_INCLUDE_DIR /usr/include CACHE PATH "c-ares headers")
set(QV2_CARES_LIBRARY /usr/lib/${QV2_TRIPLET}/libcares.a CACHE FILEPATH "c-ares for the target")
set(QV2_STATIC ON CACHE BOOL "Fully static, stripped, size-optimised executables")
set(CMAKE_CROSSCOMPILING_EMULATOR ${QV2_EMULATOR} CACHE STRING "Runs target programs here")
