# Makes the Windows zip from the mingw build (target windows_zip):
#   tavmerk-<version>-win64/tavmerk.exe, tavmerk-util.exe (when built),
#   tavmerk.dll, its import library tavmerk.lib, include/tavmerk/tavmerk.h,
#   the Python package tavmerk/ (which finds the DLL beside it),
#   README.txt, LICENSE.txt (CRLF line ends), SHA256SUMS (of the other files).
# Called with -DTOOL= -DUTIL= -DLIBRARY= -DIMPORT_LIBRARY= -DSTRIP= -DSOURCE_DIR= -DSTAGE= -DZIP=
# -DDATE=YYYY-MM-DD.
file(REMOVE_RECURSE ${STAGE})
file(MAKE_DIRECTORY ${STAGE})
get_filename_component(top ${STAGE} NAME)
get_filename_component(parent ${STAGE} DIRECTORY)

set(names "")
foreach(exe IN ITEMS ${TOOL} ${UTIL} ${LIBRARY})
  get_filename_component(name ${exe} NAME)
  file(COPY ${exe} DESTINATION ${STAGE})
  if(STRIP)
    execute_process(COMMAND ${STRIP} --strip-unneeded ${STAGE}/${name} RESULT_VARIABLE status)
    if(NOT status EQUAL 0)
      message(FATAL_ERROR "${STRIP} failed on ${name}")
    endif()
  endif()
  list(APPEND names ${name})
endforeach()

# The import library, header and Python package as they are.
file(COPY ${IMPORT_LIBRARY} DESTINATION ${STAGE})
get_filename_component(name ${IMPORT_LIBRARY} NAME)
list(APPEND names ${name})
file(COPY ${SOURCE_DIR}/lib/include/tavmerk/tavmerk.h DESTINATION ${STAGE}/include/tavmerk)
list(APPEND names include/tavmerk/tavmerk.h)
file(GLOB python_files RELATIVE ${SOURCE_DIR}/python ${SOURCE_DIR}/python/tavmerk/*.py)
foreach(py IN LISTS python_files)
  file(COPY ${SOURCE_DIR}/python/${py} DESTINATION ${STAGE}/tavmerk)
  list(APPEND names ${py})
endforeach()

foreach(pair IN ITEMS "README.md=README.txt" "LICENSE=LICENSE.txt")
  string(REPLACE "=" ";" pair ${pair})
  list(GET pair 0 from)
  list(GET pair 1 to)
  file(READ ${SOURCE_DIR}/${from} text)
  string(REPLACE "\r\n" "\n" text "${text}")
  string(REPLACE "\n" "\r\n" text "${text}")
  file(WRITE ${STAGE}/${to} "${text}")
  list(APPEND names ${to})
endforeach()

set(sums "")
foreach(name IN LISTS names)
  file(SHA256 ${STAGE}/${name} hash)
  string(APPEND sums "${hash}  ${name}\n")
endforeach()
file(WRITE ${STAGE}/SHA256SUMS "${sums}")

set(members "")
foreach(name IN LISTS names ITEMS SHA256SUMS)
  list(APPEND members ${top}/${name})
endforeach()
file(REMOVE ${ZIP})
execute_process(COMMAND ${CMAKE_COMMAND} -E tar cf ${ZIP} --format=zip "--mtime=${DATE} 00:00:00 UTC" ${members}
                WORKING_DIRECTORY ${parent} RESULT_VARIABLE status)
if(NOT status EQUAL 0)
  message(FATAL_ERROR "could not write ${ZIP}")
endif()
message(STATUS "Windows zip: ${ZIP}")
