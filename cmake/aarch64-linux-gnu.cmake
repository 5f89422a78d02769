# Cross-compiles for aarch64 Linux (arm64-v8a).
set(CROSS_PROCESSOR aarch64)
set(CROSS_TRIPLE aarch64-linux-gnu)
include(${CMAKE_CURRENT_LIST_DIR}/linux-cross.cmake)
