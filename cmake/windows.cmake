# The Windows DLLs, 32-bit and 64-bit, cross-built from the same source with
# mingw-w64, and their tests: the export tables, and Windows host programs
# that load the DLL and run a lobby over real Winsock under Wine. The 64-bit
# DLL's lobbies (tests/agents) and its release (tests/consumers) are tested
# by the same tests as the 32-bit one's, run once per bitness.
include(ExternalProject)
set(LL_WINDOWS_DIR ${CMAKE_BINARY_DIR}/windows)
set(LL_WINDOWS64_DIR ${CMAKE_BINARY_DIR}/windows64)

# ll_windows_build(TARGET DIR TOOLCHAIN): a Release build of the DLL and the
# Windows programs in DIR, made on every build of this one.
function(ll_windows_build target dir toolchain)
  ExternalProject_Add(${target}
    SOURCE_DIR ${PROJECT_SOURCE_DIR}
    BINARY_DIR ${dir}
    CMAKE_ARGS -DCMAKE_TOOLCHAIN_FILE=${PROJECT_SOURCE_DIR}/cmake/${toolchain}
               -DCMAKE_BUILD_TYPE=Release -DLL_TESTS=OFF -DLL_BENCH=${LL_BENCH}
               -DLL_WERROR=${LL_WERROR}
               -DCMAKE_C_COMPILER_LAUNCHER=${CMAKE_C_COMPILER_LAUNCHER}
               -DCMAKE_CXX_COMPILER_LAUNCHER=${CMAKE_CXX_COMPILER_LAUNCHER}
    BUILD_ALWAYS ON
    INSTALL_COMMAND "")
endfunction()
ll_windows_build(lobbylink_windows ${LL_WINDOWS_DIR} mingw-i686.cmake)
ll_windows_build(lobbylink_windows64 ${LL_WINDOWS64_DIR} mingw-x86_64.cmake)

# The export tables and imports of each DLL, for its bitness.
set(LL_CHECK_EXPORTS ${PROJECT_SOURCE_DIR}/tests/check-exports.sh)
add_test(NAME exports_windows
  COMMAND ${LL_CHECK_EXPORTS} windows ${LL_WINDOWS_DIR}/lobbylink.dll ${LL_DEF_FILE} 32)
add_test(NAME exports_windows64
  COMMAND ${LL_CHECK_EXPORTS} windows ${LL_WINDOWS64_DIR}/lobbylink.dll ${LL_DEF_FILE} 64)
set_tests_properties(exports_windows exports_windows64 PROPERTIES TIMEOUT 30 LABELS windows)

# The Wine tests run in copies of the agents' prefix, made once by the
# build (tests/agents).
set(LL_WINE_TEMPLATE ${LL_WINDOWS_DIR}/agents-prefix)
add_test(NAME windows_host_under_wine
  COMMAND ${LL_NET_LAUNCHER} ${PROJECT_SOURCE_DIR}/tests/wine-run.sh ${LL_WINDOWS_DIR}
          ${LL_WINE_TEMPLATE})
set_tests_properties(windows_host_under_wine PROPERTIES TIMEOUT 300 LABELS windows
  RUN_SERIAL ${LL_NET_SERIAL} FIXTURES_REQUIRED agents_wine)

# lobbylink-chat's demo with every process a Windows program: the lobby host
# and three clients, each loading the DLL beside the .exe, over Winsock.
add_test(NAME chat_demo_under_wine
  COMMAND ${LL_NET_LAUNCHER} ${PROJECT_SOURCE_DIR}/tests/wine-chat-demo.sh ${LL_WINDOWS_DIR}
          ${LL_WINE_TEMPLATE})
set_tests_properties(chat_demo_under_wine PROPERTIES TIMEOUT 300 LABELS windows
  RUN_SERIAL ${LL_NET_SERIAL} FIXTURES_REQUIRED agents_wine)
