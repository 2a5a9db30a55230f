# Consumer tests: the library as a user takes it, from outside this build.
# A Linux install into a fresh prefix, then a C program that finds it through
# its CMake package and through pkg-config; the Windows release folder made by
# scripts/dist.sh, its import library for Microsoft's linker, and a Windows
# host linking the import libraries under Wine. The programs open a lobby and
# exchange messages, so they run in a network namespace like every networking
# test.
set(LL_CONSUMERS ${PROJECT_SOURCE_DIR}/tests/consumers)
set(LL_CONSUMERS_WORK ${CMAKE_BINARY_DIR}/consumers)
set(LL_PREFIX ${LL_CONSUMERS_WORK}/prefix)

add_test(NAME package_install
  COMMAND ${LL_CONSUMERS}/install.sh ${CMAKE_BINARY_DIR} ${LL_PREFIX} ${PROJECT_VERSION})
set_tests_properties(package_install PROPERTIES
  TIMEOUT 120 LABELS package FIXTURES_SETUP ll_installed)

foreach(how cmake pkg-config)
  add_test(NAME consumer_${how}
    COMMAND ${LL_NET_LAUNCHER} ${LL_CONSUMERS}/linux.sh ${how} ${LL_PREFIX} ${PROJECT_VERSION}
            ${LL_CONSUMERS_WORK}/${how})
  set_tests_properties(consumer_${how} PROPERTIES
    TIMEOUT 180 LABELS package FIXTURES_REQUIRED ll_installed RUN_SERIAL ${LL_NET_SERIAL})
endforeach()

# Each Windows release, win32 and win64, by the same tests; names of the
# win64 tests end in 64.
if(LL_WINDOWS)
  foreach(bits 32 64)
    set(suffix "")
    set(dir ${LL_WINDOWS_DIR})
    if(bits EQUAL 64)
      set(suffix 64)
      set(dir ${LL_WINDOWS64_DIR})
    endif()
    set(release ${LL_CONSUMERS_WORK}/dist/lobbylink-${PROJECT_VERSION}-win${bits})
    add_test(NAME package_windows${suffix}_release
      COMMAND bash ${PROJECT_SOURCE_DIR}/scripts/dist.sh ${dir} ${LL_CONSUMERS_WORK}/dist)
    set_tests_properties(package_windows${suffix}_release PROPERTIES
      TIMEOUT 120 LABELS "package;windows" FIXTURES_SETUP ll_release${suffix})

    add_test(NAME exports_windows${suffix}_msvc_import_library
      COMMAND ${PROJECT_SOURCE_DIR}/tests/check-exports.sh implib ${release}/lobbylink.lib
              ${LL_DEF_FILE} ${bits})
    set_tests_properties(exports_windows${suffix}_msvc_import_library PROPERTIES
      TIMEOUT 30 LABELS "package;windows" FIXTURES_REQUIRED ll_release${suffix})

    # Built against the release folder alone, then run under Wine.
    add_test(NAME consumer_windows${suffix}_build
      COMMAND ${LL_CONSUMERS}/windows.sh build ${release} ${LL_CONSUMERS_WORK}/windows${suffix})
    set_tests_properties(consumer_windows${suffix}_build PROPERTIES
      TIMEOUT 120 LABELS "package;windows" FIXTURES_REQUIRED ll_release${suffix}
      FIXTURES_SETUP ll_consumer_windows${suffix})
    add_test(NAME consumer_windows${suffix}_import_libraries
      COMMAND ${LL_NET_LAUNCHER} ${LL_CONSUMERS}/windows.sh run ${release}
              ${LL_CONSUMERS_WORK}/windows${suffix} ${LL_WINE_TEMPLATE})
    set_tests_properties(consumer_windows${suffix}_import_libraries PROPERTIES
      TIMEOUT 300 LABELS "package;windows"
      FIXTURES_REQUIRED "ll_release${suffix};ll_consumer_windows${suffix};agents_wine"
      RUN_SERIAL ${LL_NET_SERIAL})
  endforeach()
endif()
