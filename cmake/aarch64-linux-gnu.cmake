# Cross build for 64-bit ARM routers (most current ones).
set(QV2_TRIPLET aarch64-linux-gnu)
set(QV2_PROCESSOR aarch64)
set(QV2_EMULATOR qemu-aarch64)
include(${CMAKE_CURRENT_LIST_DIR}/cross-common.cmake)
