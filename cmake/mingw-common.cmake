# What both MinGW-w64 toolchain files share; GZARC_MINGW_TRIPLE names the target.
# Prefer the toolchain variant without the POSIX threads layer: the engine
# has no threads, so nothing of winpthread is needed at all.
foreach(lang C CXX)
  if(lang STREQUAL "C")
    set(tool gcc)
  else()
    set(tool g++)
  endif()
  find_program(GZARC_MINGW_${lang} NAMES ${GZARC_MINGW_TRIPLE}-${tool}-win32
                                          ${GZARC_MINGW_TRIPLE}-${tool}
                                          ${GZARC_MINGW_TRIPLE}-${tool}-posix REQUIRED)
  set(CMAKE_${lang}_COMPILER ${GZARC_MINGW_${lang}})
endforeach()
find_program(CMAKE_RC_COMPILER NAMES ${GZARC_MINGW_TRIPLE}-windres)

set(CMAKE_FIND_ROOT_PATH /usr/${GZARC_MINGW_TRIPLE})
set(CMAKE_FIND_ROOT_PATH_MODE_PROGRAM NEVER)
set(CMAKE_FIND_ROOT_PATH_MODE_LIBRARY ONLY)
set(CMAKE_FIND_ROOT_PATH_MODE_INCLUDE ONLY)
set(CMAKE_FIND_ROOT_PATH_MODE_PACKAGE ONLY)
