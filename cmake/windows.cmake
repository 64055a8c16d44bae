# Windows specifics of the engine DLL (included by the top-level CMakeLists).
#
# The DLL is what an archiver host loads: exactly the names of
# cmake/exports.txt (through the gzarc.def made from it), undecorated, and no
# runtime DLL beyond the system's (KERNEL32, USER32 and the C runtime
# msvcrt), so the C++ runtime, libgcc and any threads library are linked in
# statically.

target_sources(gzarc PRIVATE ${GZARC_DEF_FILE})
set_target_properties(gzarc PROPERTIES LINK_DEPENDS ${GZARC_DEF_FILE}
                                       IMPORT_PREFIX "")

# The platform layer wants the lean Windows headers without the min/max macros;
# the services it calls exist since Windows XP.
target_compile_definitions(gzarc_objects PRIVATE WIN32_LEAN_AND_MEAN NOMINMAX
                                                 _WIN32_WINNT=0x0501 WINVER=0x0501)

set(GZARC_WINDOWS_LINK_OPTIONS -static -static-libgcc -static-libstdc++
    -Wl,--no-undefined -Wl,--dynamicbase -Wl,--nxcompat)
if(CMAKE_SIZEOF_VOID_P EQUAL 8)
  list(APPEND GZARC_WINDOWS_LINK_OPTIONS -Wl,--high-entropy-va)
endif()
if(CMAKE_BUILD_TYPE STREQUAL "Release" OR CMAKE_BUILD_TYPE STREQUAL "MinSizeRel")
  list(APPEND GZARC_WINDOWS_LINK_OPTIONS -s)
endif()
target_link_options(gzarc PRIVATE ${GZARC_WINDOWS_LINK_OPTIONS} -Wl,--exclude-all-symbols)
target_link_libraries(gzarc PRIVATE kernel32 user32)

# The command-line host is a POSIX program (dynamic loader, terminal): a
# Windows build makes the DLL and its test host only.
set(GZARC_BUILD_TOOLS OFF)

# The Windows test host, built by the same toolchain and run under Wine.
if(GZARC_BUILD_TESTS AND EXISTS ${PROJECT_SOURCE_DIR}/tests/windows/CMakeLists.txt)
  add_subdirectory(${PROJECT_SOURCE_DIR}/tests/windows ${PROJECT_BINARY_DIR}/tests/windows)
endif()
