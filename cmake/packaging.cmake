# CPack: `cpack -G DEB` in a Linux build folder makes the Debian package
# gzarc (the command, the library, the header, the pkg-config and CMake
# files, the manual page, the bash completion), its dependencies found by
# dpkg-shlibdeps; `cpack -G ZIP` in a Windows build folder makes a zip of
# gzarc.dll, gzarc.h and README.txt on loading the DLL.

set(GZARC_PACKAGE_CONTACT "gzarc maintainers <maintainers@gzarc.invalid>"
    CACHE STRING "The packages' maintainer, as 'Name <address>'")

set(CPACK_PACKAGE_NAME gzarc)
set(CPACK_PACKAGE_VENDOR gzarc)
set(CPACK_PACKAGE_CONTACT "${GZARC_PACKAGE_CONTACT}")
set(CPACK_PACKAGE_DESCRIPTION_SUMMARY "GZIP archive engine with its command-line host")
set(CPACK_PACKAGE_DESCRIPTION
    "gzarc is a GZIP archive engine, a shared library that archiver programs load\n"
    "and drive through 41 plain C functions, with its own DEFLATE compressor and\n"
    "decoder, and the command gzarc, which lists, extracts, deletes and creates\n"
    "gzip archives through it. The package also holds the C header, the\n"
    "pkg-config file and the CMake package for programs that use the engine.")
string(JOIN "" CPACK_PACKAGE_DESCRIPTION ${CPACK_PACKAGE_DESCRIPTION})
set(CPACK_PACKAGE_FILE_NAME "${CPACK_PACKAGE_NAME}-${PROJECT_VERSION}")

if(WIN32)
  if(CMAKE_SIZEOF_VOID_P EQUAL 8)
    string(APPEND CPACK_PACKAGE_FILE_NAME "-win64")
  else()
    string(APPEND CPACK_PACKAGE_FILE_NAME "-win32")
  endif()
  set(CPACK_GENERATOR ZIP)
  set(CPACK_INCLUDE_TOPLEVEL_DIRECTORY ON)
else()
  set(CPACK_GENERATOR DEB)
  set(CPACK_STRIP_FILES ON)
  set(CPACK_PACKAGING_INSTALL_PREFIX /usr)
  set(CPACK_DEBIAN_FILE_NAME DEB-DEFAULT)
  set(CPACK_DEBIAN_PACKAGE_SECTION utils)
  set(CPACK_DEBIAN_PACKAGE_SHLIBDEPS ON)
  # A shlibs file, so that packages built against libgzarc.so.0 depend on this one.
  set(CPACK_DEBIAN_PACKAGE_GENERATE_SHLIBS ON)
  set(CPACK_DEBIAN_PACKAGE_GENERATE_SHLIBS_POLICY ">=")
endif()

include(CPack)
