# What `cmake --install` puts where (GNUInstallDirs, relative to the prefix).
#
# Linux: the library (libgzarc.so.0 and the libgzarc.so link), the header,
# gzarc.pc for pkg-config and the CMake package gzarcConfig.cmake with the
# imported target gzarc::gzarc; tools/CMakeLists.txt adds the command, its
# manual page and its bash completion.
#
# Windows: the DLL, the header and a short text on loading the DLL, all in
# one folder, as a host's setup takes them.

if(WIN32)
  install(PROGRAMS $<TARGET_FILE:gzarc> DESTINATION .)
  install(FILES ${PROJECT_SOURCE_DIR}/include/gzarc.h DESTINATION .)
  install(FILES ${PROJECT_SOURCE_DIR}/cmake/windows-readme.txt DESTINATION . RENAME README.txt)
  return()
endif()

include(CMakePackageConfigHelpers)

install(TARGETS gzarc EXPORT gzarcTargets LIBRARY DESTINATION ${CMAKE_INSTALL_LIBDIR})
install(FILES ${PROJECT_SOURCE_DIR}/include/gzarc.h DESTINATION ${CMAKE_INSTALL_INCLUDEDIR})
install(FILES ${PROJECT_SOURCE_DIR}/README.md DESTINATION ${CMAKE_INSTALL_DOCDIR})

# gzarc.pc finds the prefix from its own place, so the files work under
# whatever prefix `cmake --install --prefix` gives them (folders given as
# absolute paths stay where they were given).
set(GZARC_PKGCONFIG_DIR ${CMAKE_INSTALL_LIBDIR}/pkgconfig)
if(IS_ABSOLUTE ${CMAKE_INSTALL_LIBDIR})
  set(GZARC_PC_PREFIX ${CMAKE_INSTALL_PREFIX})
else()
  file(RELATIVE_PATH GZARC_PC_PREFIX ${CMAKE_INSTALL_PREFIX}/${GZARC_PKGCONFIG_DIR}
       ${CMAKE_INSTALL_PREFIX})
  string(REGEX REPLACE "/$" "" GZARC_PC_PREFIX "\${pcfiledir}/${GZARC_PC_PREFIX}")
endif()
foreach(dir INCLUDEDIR LIBDIR)
  if(IS_ABSOLUTE ${CMAKE_INSTALL_${dir}})
    set(GZARC_PC_${dir} ${CMAKE_INSTALL_${dir}})
  else()
    set(GZARC_PC_${dir} "\${prefix}/${CMAKE_INSTALL_${dir}}")
  endif()
endforeach()
configure_file(${PROJECT_SOURCE_DIR}/cmake/gzarc.pc.in ${PROJECT_BINARY_DIR}/gzarc.pc @ONLY)
install(FILES ${PROJECT_BINARY_DIR}/gzarc.pc DESTINATION ${GZARC_PKGCONFIG_DIR})

set(GZARC_CMAKE_DIR ${CMAKE_INSTALL_LIBDIR}/cmake/gzarc)
install(EXPORT gzarcTargets NAMESPACE gzarc:: DESTINATION ${GZARC_CMAKE_DIR})
configure_package_config_file(${PROJECT_SOURCE_DIR}/cmake/gzarcConfig.cmake.in
                              ${PROJECT_BINARY_DIR}/gzarcConfig.cmake
                              INSTALL_DESTINATION ${GZARC_CMAKE_DIR})
# The major version is the SONAME's: any 0.x serves a request for 0.y, y <= x.
write_basic_package_version_file(${PROJECT_BINARY_DIR}/gzarcConfigVersion.cmake
                                 COMPATIBILITY SameMajorVersion)
install(FILES ${PROJECT_BINARY_DIR}/gzarcConfig.cmake ${PROJECT_BINARY_DIR}/gzarcConfigVersion.cmake
        DESTINATION ${GZARC_CMAKE_DIR})
