# Cross-compiles for Linux on CROSS_PROCESSOR with Debian's CROSS_TRIPLE
# toolchain; the tests run in a virtual machine (scripts/run-in-vm.sh).
# Included by the per-target toolchain files.
set(CMAKE_SYSTEM_NAME Linux)
set(CMAKE_SYSTEM_PROCESSOR ${CROSS_PROCESSOR})

set(CMAKE_C_COMPILER ${CROSS_TRIPLE}-gcc)
set(CMAKE_CXX_COMPILER ${CROSS_TRIPLE}-g++)

set(CMAKE_FIND_ROOT_PATH /usr/${CROSS_TRIPLE})
set(CMAKE_FIND_ROOT_PATH_MODE_PROGRAM NEVER)
set(CMAKE_FIND_ROOT_PATH_MODE_LIBRARY ONLY)
set(CMAKE_FIND_ROOT_PATH_MODE_INCLUDE ONLY)
set(CMAKE_FIND_ROOT_PATH_MODE_PACKAGE ONLY)

# Debian's multiarch name for the target, where its libraries go.
set(CMAKE_LIBRARY_ARCHITECTURE ${CROSS_TRIPLE})
