# Cross build for 32-bit ARMv7 routers, soft-float: it runs on those with
# and without a floating-point unit, as the router package feeds build ARM.
set(QV2_TRIPLET arm-linux-gnueabi)
set(QV2_PROCESSOR arm)
set(QV2_EMULATOR qemu-arm)
# Thumb-2, which every ARMv7 runs: a tenth smaller than ARM code.
# -Wno-psabi: GCC notes an ABI change of GCC 7 that nothing here crosses.
set(QV2_ARCH_FLAGS "-march=armv7-a -mthumb -mfloat-abi=soft -Wno-psabi")
include(${CMAKE_CURRENT_LIST_DIR}/cross-common.cmake)
