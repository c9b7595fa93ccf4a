# CPack pre-build script: gives the Debian package Debian's layout in the
# staging folder, after the install and before the package is made. The man
# pages are compressed with gzip -9n (no name or time stamp, so the bytes do
# not depend on the build), the executables lose what strip left, and the
# doc folder gets the machine-readable copyright file and the changelog,
# compressed the same way.
if(NOT CPACK_GENERATOR STREQUAL "DEB")
  return()
endif()
find_program(GZIP_EXECUTABLE gzip REQUIRED)
set(root "${CPACK_TEMPORARY_DIRECTORY}${CPACK_PACKAGING_INSTALL_PREFIX}")

function(gzip_n file)
  execute_process(COMMAND ${GZIP_EXECUTABLE} -9nf ${file} RESULT_VARIABLE status)
  if(NOT status EQUAL 0)
    message(FATAL_ERROR "gzip failed on ${file}")
  endif()
endfunction()

# The executables as dh_strip leaves them: CPack's strip keeps the
# compiler's .comment section.
find_program(STRIP_EXECUTABLE strip)
file(GLOB programs "${root}/bin/*")
foreach(program IN LISTS programs)
  if(STRIP_EXECUTABLE)
    execute_process(COMMAND ${STRIP_EXECUTABLE} --remove-section=.comment --remove-section=.note ${program})
  endif()
endforeach()

file(GLOB pages "${root}/${CPACK_TAVMERK_MANDIR}/man*/*.[1-9]")
foreach(page IN LISTS pages)
  gzip_n(${page})
endforeach()

set(doc "${root}/${CPACK_TAVMERK_DOCDIR}")
file(MAKE_DIRECTORY ${doc})
file(COPY ${CPACK_TAVMERK_DEBIAN_COPYRIGHT} DESTINATION ${doc}
     FILE_PERMISSIONS OWNER_READ OWNER_WRITE GROUP_READ WORLD_READ)
file(COPY ${CPACK_TAVMERK_DEBIAN_CHANGELOG} DESTINATION ${doc}
     FILE_PERMISSIONS OWNER_READ OWNER_WRITE GROUP_READ WORLD_READ)
gzip_n(${doc}/changelog)
