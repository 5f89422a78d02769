# Cross-compiles for 32-bit ARM Linux (armv7-a, hard float: armeabi-v7a).
set(CROSS_PROCESSOR armv7l)
set(CROSS_TRIPLE arm-linux-gnueabihf)
include(${CMAKE_CURRENT_LIST_DIR}/linux-cross.cmake)
