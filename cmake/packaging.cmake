# Version header, installation, man pages and packages. Included at the end
# of the top-level CMakeLists.txt; whatever concerns tavmerk-util is done at
# the very end of that file (cmake_language(DEFER)), so that the command is
# installed and packaged as soon as a target of that name exists, wherever it
# is defined.
#
#   cmake --install build [--prefix DIR]                 # bin, man, doc, completion
#   cpack --config build/CPackConfig.cmake -G DEB        # build/tavmerk_<version>_<arch>.deb
#   cmake --build build-win --target windows_zip         # build-win/tavmerk-<version>-win64.zip

include(GNUInstallDirs)

set(TAVMERK_PACKAGING_DIR ${PROJECT_SOURCE_DIR}/packaging)
# The date of this release: man page footers and the Debian changelog, so
# that two builds of one version give the same files.
set(TAVMERK_RELEASE_DATE 2026-01-01)
set(TAVMERK_RELEASE_EPOCH 1767225600)                       # its midnight, UTC
set(TAVMERK_RELEASE_DATE_RFC2822 "Thu, 01 Jan 2026 00:00:00 +0000")
set(TAVMERK_MAINTAINER "tavmerk developers <tavmerk@example.org>"
    CACHE STRING "Maintainer named in the packages")

# ---- The version, for C++: #include "tavmerk_version.h" (TAVMERK_VERSION)
configure_file(${PROJECT_SOURCE_DIR}/cmake/version.h.in
               ${PROJECT_BINARY_DIR}/generated/tavmerk_version.h @ONLY)
add_library(tavmerk_version INTERFACE)
target_include_directories(tavmerk_version INTERFACE ${PROJECT_BINARY_DIR}/generated)
target_link_libraries(tavmerk_core INTERFACE tavmerk_version)

# ---- Windows: a manifest (long paths, no elevation) and a version resource
if(WIN32)
  enable_language(RC)
  function(tavmerk_windows_resources target description)
    set(TAVMERK_RC_NAME ${target})
    set(TAVMERK_RC_DESCRIPTION "${description}")
    set(TAVMERK_RC_MANIFEST ${TAVMERK_PACKAGING_DIR}/windows/tavmerk.manifest)
    set(rc ${PROJECT_BINARY_DIR}/generated/${target}.rc)
    configure_file(${TAVMERK_PACKAGING_DIR}/windows/version.rc.in ${rc} @ONLY)
    target_sources(${target} PRIVATE ${rc})
    # Compiled again when the manifest changes (in the target's own folder,
    # which may be another than this one).
    set_property(SOURCE ${rc} TARGET_DIRECTORY ${target} APPEND PROPERTY OBJECT_DEPENDS ${TAVMERK_RC_MANIFEST})
  endfunction()
  tavmerk_windows_resources(tavmerk "Expands and repacks pack archives")
endif()

# ---- Linked as Debian links its packages: relocations read-only, bound at
# start (lintian's hardening checks)
function(tavmerk_harden target)
  if(CMAKE_CXX_COMPILER_ID MATCHES "GNU|Clang")
    target_link_options(${target} PRIVATE -Wl,-z,relro -Wl,-z,now)
  endif()
endfunction()
if(NOT WIN32)
  tavmerk_harden(tavmerk)
endif()

# ---- Man pages, from scdoc sources; none without scdoc
find_program(SCDOC_EXECUTABLE scdoc)
set(TAVMERK_MAN_PAGES "")
if(SCDOC_EXECUTABLE AND NOT WIN32)
  foreach(page tavmerk tavmerk-util)
    set(source ${PROJECT_SOURCE_DIR}/doc/${page}.1.scd)
    set(roff ${PROJECT_BINARY_DIR}/doc/${page}.1)
    add_custom_command(OUTPUT ${roff}
      COMMAND ${CMAKE_COMMAND} -DSCDOC=${SCDOC_EXECUTABLE} -DSOURCE=${source} -DOUTPUT=${roff}
              -DEPOCH=${TAVMERK_RELEASE_EPOCH} -P ${TAVMERK_PACKAGING_DIR}/scdoc.cmake
      DEPENDS ${source} ${TAVMERK_PACKAGING_DIR}/scdoc.cmake
      COMMENT "Man page ${page}.1" VERBATIM)
    list(APPEND TAVMERK_MAN_PAGES ${roff})
  endforeach()
  add_custom_target(man ALL DEPENDS ${TAVMERK_MAN_PAGES})
elseif(NOT WIN32)
  message(STATUS "scdoc not found: the man pages are neither built nor installed")
endif()

# ---- Installation
set(CMAKE_INSTALL_DEFAULT_DIRECTORY_PERMISSIONS
    OWNER_READ OWNER_WRITE OWNER_EXECUTE GROUP_READ GROUP_EXECUTE WORLD_READ WORLD_EXECUTE)
install(TARGETS tavmerk RUNTIME DESTINATION ${CMAKE_INSTALL_BINDIR})
install(FILES README.md LICENSE DESTINATION ${CMAKE_INSTALL_DOCDIR})
if(SCDOC_EXECUTABLE AND NOT WIN32)
  install(FILES ${PROJECT_BINARY_DIR}/doc/tavmerk.1 DESTINATION ${CMAKE_INSTALL_MANDIR}/man1)
endif()

# ---- Packages: a Debian package (CPack DEB); the Windows zip is windows_zip
set(CPACK_PACKAGE_NAME tavmerk)
set(CPACK_PACKAGE_VENDOR "The tavmerk developers")
set(CPACK_PACKAGE_CONTACT "${TAVMERK_MAINTAINER}")
set(CPACK_PACKAGE_VERSION ${PROJECT_VERSION})
set(CPACK_RESOURCE_FILE_LICENSE ${PROJECT_SOURCE_DIR}/LICENSE)
set(CPACK_PACKAGING_INSTALL_PREFIX /usr)
# The package lands in the build folder, wherever cpack is run from.
set(CPACK_PACKAGE_DIRECTORY ${PROJECT_BINARY_DIR})
set(CPACK_STRIP_FILES ON)
set(CPACK_SOURCE_GENERATOR "")
set(CPACK_DEBIAN_PACKAGE_MAINTAINER "${TAVMERK_MAINTAINER}")
set(CPACK_DEBIAN_PACKAGE_SECTION utils)
set(CPACK_DEBIAN_PACKAGE_PRIORITY optional)
set(CPACK_DEBIAN_PACKAGE_SHLIBDEPS ON)
# What building the package needs besides a compiler and CMake: tavmerk-util
# serve comes with cpp-httplib alone, whose library the shlibs step then
# adds to Depends. A package built without it would lack serve: refused.
set(TAVMERK_DEB_BUILD_DEPENDS zlib1g-dev libdeflate-dev libcli11-dev nlohmann-json3-dev libcpp-httplib-dev
    libfuse3-dev pkg-config scdoc)
if(NOT WIN32 AND NOT TAVMERK_EXPLORER)
  message(WARNING "libcpp-httplib-dev is missing: a Debian package built now lacks tavmerk-util serve "
                  "(the package's build needs: ${TAVMERK_DEB_BUILD_DEPENDS})")
endif()
# libtavmerk.so.1: its shlibs file and the ldconfig trigger lintian asks
# for (CPack adds ldconfig calls to postinst and postrm of its own).
configure_file(${TAVMERK_PACKAGING_DIR}/debian/shlibs.in ${PROJECT_BINARY_DIR}/packaging/debian/shlibs @ONLY)
set(CPACK_DEBIAN_PACKAGE_CONTROL_EXTRA
    ${PROJECT_BINARY_DIR}/packaging/debian/shlibs ${TAVMERK_PACKAGING_DIR}/debian/triggers)
# The Python package runs on Debian's python3.
set(CPACK_DEBIAN_PACKAGE_SUGGESTS python3)
set(CPACK_DEBIAN_PACKAGE_CONTROL_STRICT_PERMISSION ON)
set(CPACK_DEBIAN_FILE_NAME DEB-DEFAULT)
set(CPACK_DEBIAN_COMPRESSION_TYPE xz)
# Debian's layout, made in the staging folder before the package is built:
# man pages gzip -9n, the copyright file and changelog.gz in the doc folder.
configure_file(${TAVMERK_PACKAGING_DIR}/debian/changelog.in
               ${PROJECT_BINARY_DIR}/packaging/debian/changelog @ONLY)
# (Only CPACK_* variables reach the script.)
set(CPACK_TAVMERK_DEBIAN_COPYRIGHT ${TAVMERK_PACKAGING_DIR}/debian/copyright)
set(CPACK_TAVMERK_DEBIAN_CHANGELOG ${PROJECT_BINARY_DIR}/packaging/debian/changelog)
set(CPACK_TAVMERK_DOCDIR ${CMAKE_INSTALL_DOCDIR})
set(CPACK_TAVMERK_MANDIR ${CMAKE_INSTALL_MANDIR})
set(CPACK_PRE_BUILD_SCRIPTS ${TAVMERK_PACKAGING_DIR}/debian-layout.cmake)

macro(tavmerk_finish_packaging)
  set(_tavmerk_util_summary "")
  set(_tavmerk_util_paragraph "")
  if(TARGET tavmerk-util)
    install(TARGETS tavmerk-util RUNTIME DESTINATION ${CMAKE_INSTALL_BINDIR})
    if(SCDOC_EXECUTABLE AND NOT WIN32)
      install(FILES ${PROJECT_BINARY_DIR}/doc/tavmerk-util.1 DESTINATION ${CMAKE_INSTALL_MANDIR}/man1)
    endif()
    if(NOT WIN32)
      install(FILES ${PROJECT_SOURCE_DIR}/completion/tavmerk-util.bash
              DESTINATION ${CMAKE_INSTALL_DATADIR}/bash-completion/completions RENAME tavmerk-util)
    endif()
    if(WIN32)
      tavmerk_windows_resources(tavmerk-util "Lists, tests, updates and compacts pack archives")
    endif()
    set(_tavmerk_util_summary ", with a companion for scripts")
    set(_tavmerk_util_paragraph "\n\n\
tavmerk-util lists, tests, updates, compacts and extracts archives without\n\
prompts, for scripts: GNU-style options, JSON output and exit statuses that\n\
tell problems found from jobs that could not be done.")
    if(NOT WIN32)
      tavmerk_harden(tavmerk-util)
    endif()
  endif()
  set(_tavmerk_mount_paragraph "")
  if(TARGET tavmerk-mount)
    install(TARGETS tavmerk-mount RUNTIME DESTINATION ${CMAKE_INSTALL_BINDIR})
    install(FILES ${PROJECT_SOURCE_DIR}/completion/tavmerk-mount.bash
            DESTINATION ${CMAKE_INSTALL_DATADIR}/bash-completion/completions RENAME tavmerk-mount)
    if(SCDOC_EXECUTABLE)
      set(_tavmerk_mount_page ${PROJECT_BINARY_DIR}/doc/tavmerk-mount.1)
      add_custom_command(OUTPUT ${_tavmerk_mount_page}
        COMMAND ${CMAKE_COMMAND} -DSCDOC=${SCDOC_EXECUTABLE} -DSOURCE=${PROJECT_SOURCE_DIR}/doc/tavmerk-mount.1.scd
                -DOUTPUT=${_tavmerk_mount_page} -DEPOCH=${TAVMERK_RELEASE_EPOCH} -P ${TAVMERK_PACKAGING_DIR}/scdoc.cmake
        DEPENDS ${PROJECT_SOURCE_DIR}/doc/tavmerk-mount.1.scd ${TAVMERK_PACKAGING_DIR}/scdoc.cmake
        COMMENT "Man page tavmerk-mount.1" VERBATIM)
      add_custom_target(man_mount ALL DEPENDS ${_tavmerk_mount_page})
      install(FILES ${_tavmerk_mount_page} DESTINATION ${CMAKE_INSTALL_MANDIR}/man1)
    endif()
    tavmerk_harden(tavmerk-mount)
    # fusermount3, to unmount (and to mount as a user), is in fuse3.
    set(CPACK_DEBIAN_PACKAGE_DEPENDS "fuse3")
    set(_tavmerk_mount_paragraph "\n\n\
tavmerk-mount shows an archive as a folder through FUSE: any program reads\n\
its files, and each file saved there is committed to the archive on its own\n\
when it is closed, safe against a crash at any moment.")
  endif()
  # The synopsis comes from the summary; the long text is wrapped here.
  set(CPACK_PACKAGE_DESCRIPTION_SUMMARY "expand and repack pack archives${_tavmerk_util_summary}")
  set(CPACK_DEBIAN_PACKAGE_DESCRIPTION "\
tavmerk expands a pack archive (a tree of folders and files described by a\n\
big-endian directory at the start of one file, each file stored raw or as a\n\
zlib stream) into a folder tree, and repacks the edited tree into the same\n\
archive.\n\
\n\
Expansion checks the whole directory first, refuses names that would leave\n\
the target folder, never follows links and never overwrites a file.\n\
Repacking locks the archive, syncs the new data before the directory and\n\
writes the directory so that a crash leaves either the old or the new\n\
contents.${_tavmerk_util_paragraph}${_tavmerk_mount_paragraph}\n\
\n\
libtavmerk reads, verifies, extracts and changes archives from C (header\n\
tavmerk/tavmerk.h, pkg-config and CMake files included), and the Python\n\
package tavmerk offers it with the interface of zipfile.")

  if(WIN32)
    set(_tavmerk_zip_util "")
    set(_tavmerk_zip_depends tavmerk libtavmerk)
    if(TARGET tavmerk-util)
      set(_tavmerk_zip_util $<TARGET_FILE:tavmerk-util>)
      list(APPEND _tavmerk_zip_depends tavmerk-util)
    endif()
    set(_tavmerk_zip ${PROJECT_BINARY_DIR}/tavmerk-${PROJECT_VERSION}-win64.zip)
    add_custom_target(windows_zip
      COMMAND ${CMAKE_COMMAND} -DTOOL=$<TARGET_FILE:tavmerk> -DUTIL=${_tavmerk_zip_util}
              -DSTRIP=${CMAKE_STRIP} -DSOURCE_DIR=${PROJECT_SOURCE_DIR} -DDATE=${TAVMERK_RELEASE_DATE}
              -DSTAGE=${PROJECT_BINARY_DIR}/windows_zip/tavmerk-${PROJECT_VERSION}-win64
              -DZIP=${_tavmerk_zip} -DLIBRARY=$<TARGET_FILE:libtavmerk> -DIMPORT_LIBRARY=$<TARGET_LINKER_FILE:libtavmerk>
              -P ${TAVMERK_PACKAGING_DIR}/windows-zip.cmake
      DEPENDS ${_tavmerk_zip_depends}
      COMMENT "Windows zip ${_tavmerk_zip}" VERBATIM)
  endif()
  include(CPack)
endmacro()
cmake_language(DEFER DIRECTORY ${PROJECT_SOURCE_DIR} CALL tavmerk_finish_packaging)
