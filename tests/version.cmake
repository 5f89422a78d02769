# Fails when the version and what must follow it part: Android.bp, which
# CMake can't reach, must carry VERSION; and the installed header may change
# only with the version. The header of each release is kept under
# tests/releases/<version>/busyumount/, and the one kept for VERSION must be
# the header as it is, comments and blanks apart; no release kept is newer.
#
#   cmake -DVERSION=0.5.0 -DSOURCE=<the source tree> -P tests/version.cmake
set(header ${SOURCE}/src/ProcessKiller.h)
set(releases ${SOURCE}/tests/releases)

file(READ ${SOURCE}/Android.bp bp)
if(NOT bp MATCHES "-DBUSYUMOUNT_VERSION=\\\\\"${VERSION}\\\\\"")
  message(FATAL_ERROR "Android.bp's BUSYUMOUNT_VERSION is not ${VERSION}")
endif()

function(interface_of file out)
  file(READ ${file} text)
  string(REGEX REPLACE "//[^\n]*" "" text "${text}")
  string(REGEX REPLACE "[ \t\n]+" " " text "${text}")
  set(${out} "${text}" PARENT_SCOPE)
endfunction()

file(GLOB kept RELATIVE ${releases} ${releases}/*)
foreach(release IN LISTS kept)
  if(release VERSION_GREATER VERSION)
    message(FATAL_ERROR "tests/releases/${release} is newer than this version, ${VERSION}")
  endif()
endforeach()
set(released ${releases}/${VERSION}/busyumount/ProcessKiller.h)
if(NOT EXISTS ${released})
  message(FATAL_ERROR "no header kept for ${VERSION}: copy src/ProcessKiller.h to ${released}")
endif()
interface_of(${header} now)
interface_of(${released} then)
if(NOT now STREQUAL then)
  message(FATAL_ERROR "src/ProcessKiller.h is not the header of ${VERSION}: raise the version "
                      "in CMakeLists.txt, and keep the header under tests/releases/<version>/")
endif()
