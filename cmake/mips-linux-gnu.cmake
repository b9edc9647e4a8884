# Cross build for 32-bit big-endian MIPS routers (most older Atheros/QCA).
set(QV2_TRIPLET mips-linux-gnu)
set(QV2_PROCESSOR mips)
set(QV2_EMULATOR qemu-mips)
include(${CMAKE_CURRENT_LIST_DIR}/cross-common.cmake)
