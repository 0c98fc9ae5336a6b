# SPDX-License-Identifier: MIT
# CPack reads this when it runs, before it installs anything.
#
# A tree configured for another prefix than /usr (CMake's default is
# /usr/local) would give packages whose init script, unit and files sit
# where neither Debian nor the scripts themselves look for them.
if(CPACK_GENERATOR STREQUAL "DEB" AND
   (NOT CPACK_WARDEND_PREFIX STREQUAL "/usr" OR NOT CPACK_WARDEND_SYSCONFDIR STREQUAL "/etc"))
  message(FATAL_ERROR
    "Debian packages need the Debian layout, install prefix /usr and configuration in /etc, but this tree "
    "has ${CPACK_WARDEND_PREFIX} and ${CPACK_WARDEND_SYSCONFDIR}. Build the packages with scripts/build-packages, "
    "or configure a tree of their own with -DCMAKE_INSTALL_PREFIX=/usr.")
endif()

# In a cross build only: the Depends of the packages with binaries.
# dpkg-shlibdeps finds the target's libraries in the cross toolchain's
# folder, owned by Debian's cross packages, whose names carry the target
# (libc6:armhf, libgcc-s1-armhf-cross); with that taken off they are the
# names of the board's own packages.
if(NOT CPACK_WARDEND_CROSS)
  return()
endif()
if(NOT CPACK_WARDEND_SHLIBDEPS)
  message(FATAL_ERROR "Debian packages of a cross build need dpkg-shlibdeps (Debian package dpkg-dev)")
endif()

function(target_depends out)
  set(work "${CPACK_PACKAGE_DIRECTORY}/_shlibdeps")
  file(MAKE_DIRECTORY "${work}/debian")
  file(TOUCH "${work}/debian/control")
  list(TRANSFORM CPACK_WARDEND_TARGET_LIBDIR PREPEND "-l" OUTPUT_VARIABLE search)
  execute_process(
    COMMAND ${CMAKE_COMMAND} -E env DEB_HOST_ARCH=${CPACK_WARDEND_ARCH}
            ${CPACK_WARDEND_SHLIBDEPS} -O ${search} ${ARGN}
    WORKING_DIRECTORY "${work}" RESULT_VARIABLE rc OUTPUT_VARIABLE found ERROR_VARIABLE err
    OUTPUT_STRIP_TRAILING_WHITESPACE)
  if(NOT rc EQUAL 0 OR NOT found MATCHES "^shlibs:Depends=")
    message(FATAL_ERROR "dpkg-shlibdeps ${ARGN}: ${err}")
  endif()
  string(REGEX REPLACE "^shlibs:Depends=" "" found "${found}")
  string(REPLACE ":${CPACK_WARDEND_ARCH}" "" found "${found}")
  string(REPLACE "-${CPACK_WARDEND_ARCH}-cross" "" found "${found}")
  set(${out} "${found}" PARENT_SCOPE)
endfunction()

target_depends(depends ${CPACK_WARDEND_DAEMON_BINARIES})
set(CPACK_DEBIAN_WARDEND_PACKAGE_DEPENDS "${depends}, ${CPACK_DEBIAN_WARDEND_PACKAGE_DEPENDS}")
target_depends(CPACK_DEBIAN_LIB_PACKAGE_DEPENDS ${CPACK_WARDEND_LIB_BINARIES})
