# The linker's export lists, made from cmake/exports.txt (one name a line) so
# that the 41 names are written down once: a version script for the shared
# library and a module-definition file for the DLL. Each is rewritten only
# when its text changes, and editing exports.txt re-runs the configuration.
set(GZARC_EXPORTS_FILE ${PROJECT_SOURCE_DIR}/cmake/exports.txt)
set_property(DIRECTORY APPEND PROPERTY CMAKE_CONFIGURE_DEPENDS ${GZARC_EXPORTS_FILE})
file(STRINGS ${GZARC_EXPORTS_FILE} GZARC_EXPORT_LINES)
set(GZARC_EXPORT_NAMES)
foreach(line IN LISTS GZARC_EXPORT_LINES)
  string(STRIP "${line}" name)
  if(name STREQUAL "")
    continue()
  endif()
  if(NOT name MATCHES "^[A-Za-z_][A-Za-z0-9_]*$")
    message(FATAL_ERROR "cmake/exports.txt: '${name}' is not a plain C name")
  endif()
  list(APPEND GZARC_EXPORT_NAMES ${name})
endforeach()
list(LENGTH GZARC_EXPORT_NAMES count)
list(REMOVE_DUPLICATES GZARC_EXPORT_NAMES)
list(LENGTH GZARC_EXPORT_NAMES unique)
if(NOT count EQUAL 41 OR NOT unique EQUAL 41)
  message(FATAL_ERROR "cmake/exports.txt holds ${count} names (${unique} distinct); "
                      "the engine's ABI is 41")
endif()

list(JOIN GZARC_EXPORT_NAMES ";\n    " map_names)
file(CONFIGURE OUTPUT ${PROJECT_BINARY_DIR}/gzarc.map @ONLY CONTENT
"/* Made from cmake/exports.txt by cmake/exports.cmake. */
{
  global:
    @map_names@;
  local:
    *;
};
")

list(JOIN GZARC_EXPORT_NAMES "\n    " def_names)
file(CONFIGURE OUTPUT ${PROJECT_BINARY_DIR}/gzarc.def @ONLY CONTENT
"; Made from cmake/exports.txt by cmake/exports.cmake: the 41 plain,
; undecorated names a host looks up.
LIBRARY gzarc.dll
EXPORTS
    @def_names@
")
set(GZARC_VERSION_SCRIPT ${PROJECT_BINARY_DIR}/gzarc.map)
set(GZARC_DEF_FILE ${PROJECT_BINARY_DIR}/gzarc.def)
