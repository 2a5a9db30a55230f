# Networking tests run each test process in a network namespace of its own
# with only loopback up, so they may run in parallel and never meet anything
# else on the machine that uses the lobby port. Where namespaces cannot be
# made (no privilege), they run one at a time on the machine's loopback.
execute_process(COMMAND unshare -n true RESULT_VARIABLE LL_NETNS_RESULT OUTPUT_QUIET ERROR_QUIET)
if(LL_NETNS_RESULT EQUAL 0)
  set(LL_NET_LAUNCHER ${PROJECT_SOURCE_DIR}/tests/netns.sh)
  set(LL_NET_SERIAL FALSE)
else()
  message(STATUS "network namespaces unavailable: networking tests run one at a time")
  set(LL_NET_LAUNCHER "")
  set(LL_NET_SERIAL TRUE)
endif()
