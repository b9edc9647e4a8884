# Cross build for 32-bit ARM routers (hard float).
set(QV2_TRIPLET arm-linux-gnueabihf)
set(QV2_PROCESSOR arm)
set(QV2_EMULATOR qemu-arm)
include(${CMAKE_CURRENT_LIST_DIR}/cross-common.cmake)
