# Cross build for 32-bit little-endian MIPS routers.
set(QV2_TRIPLET mipsel-linux-gnu)
set(QV2_PROCESSOR mipsel)
set(QV2_EMULATOR qemu-mipsel)
include(${CMAKE_CURRENT_LIST_DIR}/cross-common.cmake)
