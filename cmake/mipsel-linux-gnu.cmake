# Cross build for mipsel-linux-gnu routers with Debian's cross compiler
# (crossbuild-essential-*) and c-ares from the multiarch package
# (libc-ares-dev:*). Executables are static, stripped and size-optimised by
# default; the tests are linked statically too and run under qemu-mipsel.
set(CMAKE_SYSTEM_NAME Linux)
set(CMAKE_SYSTEM_PROCESSOR mipsel)
set(CMAKE_C_COMPILER mipsel-linux-gnu-gcc)
set(CMAKE_CXX_COMPILER mipsel-linux-gnu-g++)
set(CMAKE_LIBRARY_ARCHITECTURE mipsel-linux-gnu)
set(CMAKE_FIND_ROOT_PATH /usr/mipsel-linux-gnu)
set(CMAKE_FIND_ROOT_PATH_MODE_PROGRAM NEVER)
set(CMAKE_FIND_ROOT_PATH_MODE_LIBRARY ONLY)
set(CMAKE_FIND_ROOT_PATH_MODE_INCLUDE ONLY)
set(CMAKE_FIND_ROOT_PATH_MODE_PACKAGE ONLY)

set(QV2_CARES_INCLUDE_DIR /usr/include CACHE PATH "c-ares headers")
set(QV2_CARES_LIBRARY /usr/lib/mipsel-linux-gnu/libcares.a CACHE FILEPATH "c-ares for the target")
set(QV2_STATIC ON CACHE BOOL "Fully static, stripped, size-optimised executables")
set(CMAKE_CROSSCOMPILING_EMULATOR qemu-mipsel CACHE STRING "Runs target programs here")
