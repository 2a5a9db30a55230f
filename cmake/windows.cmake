# The 32-bit Windows DLL, cross-built from the same source with mingw-w64, and
# its tests: the export table, and a Windows host program that loads the DLL
# and runs a lobby over real Winsock under Wine.
include(ExternalProject)
set(LL_WINDOWS_DIR ${CMAKE_BINARY_DIR}/windows)
ExternalProject_Add(lobbylink_windows
  SOURCE_DIR ${PROJECT_SOURCE_DIR}
  BINARY_DIR ${LL_WINDOWS_DIR}
  CMAKE_ARGS -DCMAKE_TOOLCHAIN_FILE=${PROJECT_SOURCE_DIR}/cmake/mingw-i686.cmake
             -DCMAKE_BUILD_TYPE=Release -DLL_TESTS=OFF -DLL_BENCH=${LL_BENCH}
             -DLL_WERROR=${LL_WERROR}
  BUILD_ALWAYS ON
  INSTALL_COMMAND "")

add_test(NAME exports_windows
  COMMAND ${PROJECT_SOURCE_DIR}/tests/check-exports.sh windows ${LL_WINDOWS_DIR}/lobbylink.dll
          ${PROJECT_SOURCE_DIR}/src/hostapi/lobbylink.def)
set_tests_properties(exports_windows PROPERTIES TIMEOUT 30 LABELS windows)

add_test(NAME windows_host_under_wine
  COMMAND ${LL_NET_LAUNCHER} ${PROJECT_SOURCE_DIR}/tests/wine-run.sh ${LL_WINDOWS_DIR})
set_tests_properties(windows_host_under_wine PROPERTIES TIMEOUT 300 LABELS windows
  RUN_SERIAL ${LL_NET_SERIAL})

# lobbylink-chat's demo with every process a Windows program: the lobby host
# and three clients, each loading the DLL beside the .exe, over Winsock.
add_test(NAME chat_demo_under_wine
  COMMAND ${LL_NET_LAUNCHER} ${PROJECT_SOURCE_DIR}/tests/wine-chat-demo.sh ${LL_WINDOWS_DIR})
set_tests_properties(chat_demo_under_wine PROPERTIES TIMEOUT 300 LABELS windows
  RUN_SERIAL ${LL_NET_SERIAL})
