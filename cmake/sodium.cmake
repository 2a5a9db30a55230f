# libsodium: every primitive of a private lobby's handshake and records.
#
# Linux: the system's libsodium (Debian's libsodium-dev), linked as a shared
# library. Windows DLLs: Debian ships no Windows build, so
# scripts/sodium-mingw.sh cross-builds Debian's source package as a static
# library for the build's processor (i686 or x86_64) into this build tree,
# once (about a minute); later configurations find it there. The DLL links it whole into itself, with
# unused sections dropped, and imports ADVAPI32 for its random source.
#
# ll_link_sodium(target): the headers and the library for a target that
# compiles or links the library's objects.
if(WIN32)
  set(LL_SODIUM_MINGW_DIR ${CMAKE_BINARY_DIR}/libsodium-mingw CACHE PATH
      "where scripts/sodium-mingw.sh builds libsodium for mingw-w64, or finds it built")
  set(host ${CMAKE_SYSTEM_PROCESSOR}-w64-mingw32)
  set(built "")
  if(EXISTS ${LL_SODIUM_MINGW_DIR}/built-from AND EXISTS ${LL_SODIUM_MINGW_DIR}/lib/libsodium.a)
    file(READ ${LL_SODIUM_MINGW_DIR}/built-from built)
  endif()
  if(NOT built MATCHES "static for ${host}")
    message(STATUS "Building libsodium for ${host} in ${LL_SODIUM_MINGW_DIR}")
    execute_process(COMMAND bash ${PROJECT_SOURCE_DIR}/scripts/sodium-mingw.sh ${LL_SODIUM_MINGW_DIR}
                            ${host}
                    RESULT_VARIABLE status)
    if(NOT status EQUAL 0)
      message(FATAL_ERROR "scripts/sodium-mingw.sh could not build libsodium for mingw-w64")
    endif()
  endif()
  set(LL_SODIUM_INCLUDE_DIR ${LL_SODIUM_MINGW_DIR}/include)
  set(LL_SODIUM_LIBRARY ${LL_SODIUM_MINGW_DIR}/lib/libsodium.a)
else()
  find_path(LL_SODIUM_INCLUDE_DIR sodium.h)
  find_library(LL_SODIUM_LIBRARY sodium)
  if(NOT LL_SODIUM_INCLUDE_DIR OR NOT LL_SODIUM_LIBRARY)
    message(FATAL_ERROR "libsodium not found: install libsodium-dev (scripts/install-deps.sh)")
  endif()
endif()

function(ll_link_sodium target)
  target_include_directories(${target} SYSTEM PRIVATE ${LL_SODIUM_INCLUDE_DIR})
  get_target_property(type ${target} TYPE)
  if(NOT type STREQUAL "OBJECT_LIBRARY")
    target_link_libraries(${target} PRIVATE ${LL_SODIUM_LIBRARY})
  endif()
  if(WIN32)
    target_compile_definitions(${target} PRIVATE SODIUM_STATIC)
    target_link_libraries(${target} PRIVATE advapi32)
  endif()
endfunction()
