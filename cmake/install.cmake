# What `cmake --install` puts where.
#
# Linux: the public headers under include/lobbylink/, liblobbylink.so.X.Y.Z with
# SONAME liblobbylink.so.X and the usual links, the dictionary helpers
# (liblobbylink_hostmap.a), the CMake package `lobbylink` (targets
# lobbylink::lobbylink and lobbylink::hostmap) and the pkg-config files
# lobbylink.pc and lobbylink-hostmap.pc; and lobbylink-chat in bin/ (its rule
# stands beside its target in tools/CMakeLists.txt).
#
# Windows (a cross-built DLL): the flat release folder that scripts/dist.sh
# names lobbylink-<version>-win32 or -win64 and zips: the DLL, its module definition
# file, import libraries for the MinGW and the Microsoft linker, the headers,
# the dictionary helpers (a static library for MinGW and their C source) and
# a README for Windows hosts.

if(WIN32)
  install(TARGETS lobbylink RUNTIME DESTINATION . ARCHIVE DESTINATION .)
  install(FILES ${LL_DEF_FILE} DESTINATION .)
  # The dictionary helpers twice: the static library for MinGW, and one C
  # file that any compiler builds into the host.
  install(TARGETS lobbylink_hostmap ARCHIVE DESTINATION .)
  install(FILES ${PROJECT_SOURCE_DIR}/src/hostapi/hostmap.c DESTINATION src)
  install(FILES ${PROJECT_SOURCE_DIR}/include/lobbylink/lobbylink.h
                ${PROJECT_SOURCE_DIR}/include/lobbylink/hostmap.h
                ${LL_GENERATED_INCLUDE_DIR}/lobbylink/version.h
          DESTINATION include/lobbylink)
  # libsodium's licence travels with the DLL that contains it.
  # configure_file ends the template's lines in CRLF, not those of a value.
  file(READ ${LL_SODIUM_MINGW_DIR}/LICENSE LL_SODIUM_LICENSE)
  string(STRIP "${LL_SODIUM_LICENSE}" LL_SODIUM_LICENSE)
  string(REPLACE "\n" "\r\n" LL_SODIUM_LICENSE "${LL_SODIUM_LICENSE}")
  file(STRINGS ${LL_SODIUM_MINGW_DIR}/built-from LL_SODIUM_BUILT_FROM LIMIT_COUNT 1)
  # The README's words on this DLL's bitness.
  if(CMAKE_SIZEOF_VOID_P EQUAL 8)
    set(LL_WINDOWS_BITS 64)
    set(LL_WINDOWS_CPU x64)
    set(LL_WINDOWS_BITNESS [=[64-bit
------
The DLL is 64-bit only: the host process must be 64-bit (x64) too; a 32-bit
host takes lobbylink-@PROJECT_VERSION@-win32 instead. x64 has one calling
convention, which every export uses, and the exports go by their plain names
(p2pInit, p2pUpdate, ...). The dictionary's records have the layout that
lobbylink.h's declarations give on x64 (ArgNode 32 bytes, ArgValue 16,
CharList 24, CharCell 16), and the nine callback slots (nl*Func) take and
return whole 64-bit pointers.]=])
  else()
    set(LL_WINDOWS_BITS 32)
    set(LL_WINDOWS_CPU x86)
    set(LL_WINDOWS_BITNESS [=[32-bit, cdecl
-------------
The DLL is 32-bit only: the host process must be 32-bit (x86) too; a 64-bit
host takes lobbylink-@PROJECT_VERSION@-win64 instead. Every export uses the
cdecl calling convention and is exported under its plain name, without a
leading underscore or an @N suffix (p2pInit, p2pUpdate, ...). lobbylink.h
declares them with __cdecl, so they are right whatever default calling
convention the host compiles with (/Gz or -mrtd included).]=])
  endif()
  string(CONFIGURE "${LL_WINDOWS_BITNESS}" LL_WINDOWS_BITNESS @ONLY)
  string(REPLACE "\n" "\r\n" LL_WINDOWS_BITNESS "${LL_WINDOWS_BITNESS}")
  configure_file(${PROJECT_SOURCE_DIR}/cmake/README-windows.txt.in ${PROJECT_BINARY_DIR}/README.txt
                 @ONLY NEWLINE_STYLE CRLF)
  install(FILES ${PROJECT_BINARY_DIR}/README.txt DESTINATION .)

  # lobbylink.lib: the import library in the format Microsoft's linker reads,
  # made from the module definition file (32-bit: cdecl names; 64-bit: the
  # names as they are).
  set(LL_DLLTOOL_MACHINE i386)
  if(CMAKE_SIZEOF_VOID_P EQUAL 8)
    set(LL_DLLTOOL_MACHINE i386:x86-64)
  endif()
  find_program(LL_DLLTOOL NAMES llvm-dlltool llvm-dlltool-14
               DOC "llvm-dlltool, which makes lobbylink.lib")
  if(LL_DLLTOOL)
    add_custom_command(OUTPUT ${PROJECT_BINARY_DIR}/lobbylink.lib
      COMMAND ${LL_DLLTOOL} -m ${LL_DLLTOOL_MACHINE} -d ${LL_DEF_FILE} -l ${PROJECT_BINARY_DIR}/lobbylink.lib
      DEPENDS ${LL_DEF_FILE}
      COMMENT "Making lobbylink.lib from lobbylink.def"
      VERBATIM)
    add_custom_target(lobbylink_msvc_import_library ALL DEPENDS ${PROJECT_BINARY_DIR}/lobbylink.lib)
    install(FILES ${PROJECT_BINARY_DIR}/lobbylink.lib DESTINATION .)
  else()
    message(WARNING "llvm-dlltool not found: no lobbylink.lib for Microsoft's linker")
  endif()
  return()
endif()

include(CMakePackageConfigHelpers)
set(LL_CMAKE_PACKAGE_DIR ${CMAKE_INSTALL_LIBDIR}/cmake/lobbylink)

set_target_properties(lobbylink PROPERTIES
  VERSION ${PROJECT_VERSION} SOVERSION ${PROJECT_VERSION_MAJOR} EXPORT_NAME lobbylink)
set_target_properties(lobbylink_hostmap PROPERTIES EXPORT_NAME hostmap)

install(TARGETS lobbylink lobbylink_hostmap EXPORT lobbylinkTargets
  LIBRARY DESTINATION ${CMAKE_INSTALL_LIBDIR}
  ARCHIVE DESTINATION ${CMAKE_INSTALL_LIBDIR})
install(DIRECTORY ${PROJECT_SOURCE_DIR}/include/lobbylink ${LL_GENERATED_INCLUDE_DIR}/lobbylink
        DESTINATION ${CMAKE_INSTALL_INCLUDEDIR} FILES_MATCHING PATTERN "*.h")

install(EXPORT lobbylinkTargets NAMESPACE lobbylink:: DESTINATION ${LL_CMAKE_PACKAGE_DIR})
configure_package_config_file(${PROJECT_SOURCE_DIR}/cmake/lobbylinkConfig.cmake.in
  ${PROJECT_BINARY_DIR}/package/lobbylinkConfig.cmake INSTALL_DESTINATION ${LL_CMAKE_PACKAGE_DIR})
# A 1.x program builds against any 1.y with y >= x.
write_basic_package_version_file(${PROJECT_BINARY_DIR}/package/lobbylinkConfigVersion.cmake
  COMPATIBILITY SameMajorVersion)
install(FILES ${PROJECT_BINARY_DIR}/package/lobbylinkConfig.cmake
              ${PROJECT_BINARY_DIR}/package/lobbylinkConfigVersion.cmake
        DESTINATION ${LL_CMAKE_PACKAGE_DIR})

# The pkg-config files name the prefix of the install itself, so they are
# written when installing (`cmake --install --prefix` may choose another).
install(CODE "
  set(LL_PC_TEMPLATES [[${PROJECT_SOURCE_DIR}/cmake]])
  set(LL_PC_OUT [[${PROJECT_BINARY_DIR}/package]])
  set(LL_PC_VERSION [[${PROJECT_VERSION}]])
  set(LL_PC_LIBDIR [[${CMAKE_INSTALL_LIBDIR}]])
  set(LL_PC_INCLUDEDIR [[${CMAKE_INSTALL_INCLUDEDIR}]])
  include([[${PROJECT_SOURCE_DIR}/cmake/pkgconfig.cmake]])")
install(FILES ${PROJECT_BINARY_DIR}/package/lobbylink.pc
              ${PROJECT_BINARY_DIR}/package/lobbylink-hostmap.pc
        DESTINATION ${CMAKE_INSTALL_LIBDIR}/pkgconfig)
