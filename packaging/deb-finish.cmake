# SPDX-License-Identifier: MIT
# CPack runs this after staging the packages' files and before building
# the packages. It does to the staged tree what Debian's packaging tools
# would: binaries and libraries stripped of symbols, debugging data and
# build notes, manual pages compressed (gzip -9n), whichever install rule
# put them there.
set(strip "${CPACK_WARDEND_STRIP}")
if(NOT strip)
  message(FATAL_ERROR "deb-finish: no strip program (CMAKE_STRIP) for the target")
endif()
find_program(gzip gzip REQUIRED)

function(run)
  execute_process(COMMAND ${ARGN} RESULT_VARIABLE rc ERROR_VARIABLE err)
  if(NOT rc EQUAL 0)
    message(FATAL_ERROR "deb-finish: ${ARGN}: ${err}")
  endif()
endfunction()

set(notes --remove-section=.comment --remove-section=.note)
file(GLOB_RECURSE files LIST_DIRECTORIES false "${CPACK_TEMPORARY_INSTALL_DIRECTORY}/*")
foreach(file IN LISTS files)
  if(IS_SYMLINK "${file}")
    continue()
  endif()
  if(file MATCHES "/share/man/" AND NOT file MATCHES "\\.gz$")
    run(${gzip} -9n "${file}")
  elseif(file MATCHES "\\.a$")
    run(${strip} --strip-debug ${notes} --enable-deterministic-archives "${file}")
  else()
    file(READ "${file}" magic LIMIT 4 HEX)
    if(magic STREQUAL "7f454c46")
      if(file MATCHES "\\.so(\\.[0-9]+)*$")
        run(${strip} --strip-unneeded ${notes} "${file}")
      else()
        run(${strip} ${notes} "${file}")
      endif()
    endif()
  endif()
endforeach()
