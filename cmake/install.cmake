# What `cmake --install` puts where, in two components, and the Debian
# packages CPack makes of them: "tool" (busyumount: the tool and its manual
# page) and "dev" (libbusyumount-dev: the sweep as a static library, its
# header, and the files find_package() and pkg-config read).
include(CMakePackageConfigHelpers)

# Manual pages are installed compressed, as Debian's policy asks, with the
# version filled in.
configure_file(man/busyumount.8 busyumount.8 @ONLY)
add_custom_command(OUTPUT busyumount.8.gz
                   COMMAND gzip -9n -c ${PROJECT_BINARY_DIR}/busyumount.8 > busyumount.8.gz
                   DEPENDS ${PROJECT_BINARY_DIR}/busyumount.8)
add_custom_command(OUTPUT changelog.gz
                   COMMAND gzip -9n -c ${PROJECT_SOURCE_DIR}/packaging/changelog > changelog.gz
                   DEPENDS packaging/changelog)
add_custom_target(compressed_docs ALL DEPENDS busyumount.8.gz changelog.gz)

install(TARGETS busyumount RUNTIME DESTINATION ${CMAKE_INSTALL_SBINDIR} COMPONENT tool)
install(FILES ${PROJECT_BINARY_DIR}/busyumount.8.gz DESTINATION ${CMAKE_INSTALL_MANDIR}/man8
        COMPONENT tool)

install(TARGETS process_killer EXPORT busyumount ARCHIVE DESTINATION ${CMAKE_INSTALL_LIBDIR}
        COMPONENT dev)
install(FILES src/ProcessKiller.h DESTINATION ${CMAKE_INSTALL_INCLUDEDIR}/busyumount COMPONENT dev)
set(config_dir ${CMAKE_INSTALL_LIBDIR}/cmake/busyumount)
install(EXPORT busyumount NAMESPACE busyumount:: FILE busyumountConfig.cmake
        DESTINATION ${config_dir} COMPONENT dev)
# A release serves every program written against an earlier one of the same
# major version: a minor release only adds to the interface.
write_basic_package_version_file(busyumountConfigVersion.cmake COMPATIBILITY SameMajorVersion)
install(FILES ${PROJECT_BINARY_DIR}/busyumountConfigVersion.cmake DESTINATION ${config_dir}
        COMPONENT dev)
# The file names its prefix relative to itself, so that the tree can move.
file(RELATIVE_PATH pc_prefix /${CMAKE_INSTALL_LIBDIR}/pkgconfig /)
configure_file(packaging/busyumount.pc.in busyumount.pc @ONLY)
install(FILES ${PROJECT_BINARY_DIR}/busyumount.pc DESTINATION ${CMAKE_INSTALL_LIBDIR}/pkgconfig
        COMPONENT dev)

# A plain install gets the licence's text; the Debian packages name it in
# their copyright files instead, as Debian's policy asks for Apache-2.0.
install(FILES LICENSE DESTINATION ${CMAKE_INSTALL_DATAROOTDIR}/doc/busyumount COMPONENT license)

set(components tool dev)
set(packages busyumount libbusyumount-dev)
foreach(component package IN ZIP_LISTS components packages)
  install(FILES packaging/copyright ${PROJECT_BINARY_DIR}/changelog.gz
          DESTINATION ${CMAKE_INSTALL_DATAROOTDIR}/doc/${package} COMPONENT ${component})
  string(TOUPPER ${component} upper)
  set(CPACK_DEBIAN_${upper}_PACKAGE_NAME ${package})
endforeach()

# Debian's names for the architectures we build for.
set(deb_arch_of_x86_64 amd64)
set(deb_arch_of_aarch64 arm64)
set(deb_arch_of_armv7l armhf)
set(CPACK_DEBIAN_PACKAGE_ARCHITECTURE ${deb_arch_of_${CMAKE_SYSTEM_PROCESSOR}})

set(CPACK_GENERATOR DEB)
set(CPACK_PACKAGING_INSTALL_PREFIX /usr)
set(CPACK_STRIP_FILES ON)
set(CPACK_DEB_COMPONENT_INSTALL ON)
set(CPACK_COMPONENTS_ALL ${components})
set(CPACK_DEBIAN_FILE_NAME DEB-DEFAULT)
set(BUSYUMOUNT_MAINTAINER "busyumount developers <busyumount@lists.invalid>" CACHE STRING
    "The packages' Maintainer field")
set(CPACK_DEBIAN_PACKAGE_MAINTAINER ${BUSYUMOUNT_MAINTAINER})
set(CPACK_DEBIAN_PACKAGE_PRIORITY optional)
set(CPACK_DEBIAN_TOOL_PACKAGE_SECTION admin)
set(CPACK_DEBIAN_DEV_PACKAGE_SECTION libdevel)
# The tool needs libc alone, and nothing newer than the 2.34 symbols; a static
# build needs nothing at all.
if(NOT BUSYUMOUNT_STATIC)
  set(CPACK_DEBIAN_TOOL_PACKAGE_DEPENDS "libc6 (>= 2.34)")
endif()
# The first line of each is the synopsis.
set(CPACK_PACKAGE_DESCRIPTION_SUMMARY "")
set(CPACK_COMPONENT_TOOL_DESCRIPTION "${PROJECT_DESCRIPTION}
busyumount unmounts the file system at a mount point. While processes keep
it busy, it retries ten times a second apart, and from the fifth failure on
it signals every process that holds anything under the mount point (an open
file or directory, a bound Unix socket, a mapped file, its working
directory, root or executable, in any thread once the main thread has
exited), when the file lies on that mount: SIGTERM first, SIGKILL after.
On request it unmounts the whole tree under the mount point too (-R), lists
the holders without acting (-n), or tells each attempt and signal as it
goes (-v), with holders stuck in uninterruptible sleep and what keeps the
mount busy with no process: submounts, loop devices, swap files; with -R
it takes down the loop devices backed by a file on the mount too. For
scripts on phones, recovery images and embedded boards.")
set(CPACK_COMPONENT_DEV_DESCRIPTION "process sweep of busyumount, as a static library
The static library libbusyumount.a and its header <busyumount/ProcessKiller.h>
give a program busyumount's sweep: signal every process that holds anything
under a mount point, sparing the processes the caller lists, and on request
report each holder (process, command, state, what it holds, the signal's
result) or list them without signalling, and count the processes it could
not inspect. With a CMake package, for
find_package(busyumount), and a pkg-config file.")
include(CPack)
