# Compiler flags of this project's own targets.
#
# Warnings are always on; LL_WERROR makes them errors. LL_SANITIZE instruments
# everything the project builds. The flags go on each target, not on the
# directory, so that nothing else compiled in the same build (a project that
# adds this one with add_subdirectory, a library fetched beside it) gets them.
# ll_apply_flags runs once at the end of the top-level CMakeLists.txt, after
# every directory has been read, and sets them on every target defined under
# this project: a new target needs nothing of its own.

set(LL_WARNING_FLAGS -Wall -Wextra)
if(LL_WERROR)
  list(APPEND LL_WARNING_FLAGS -Werror)
endif()

if(LL_SANITIZE STREQUAL "address")
  set(LL_SANITIZE_COMPILE_FLAGS -fsanitize=address,undefined -fno-sanitize-recover=all
      -fno-omit-frame-pointer)
  set(LL_SANITIZE_LINK_FLAGS -fsanitize=address,undefined)
elseif(LL_SANITIZE STREQUAL "thread")
  set(LL_SANITIZE_COMPILE_FLAGS -fsanitize=thread)
  set(LL_SANITIZE_LINK_FLAGS -fsanitize=thread)
elseif(LL_SANITIZE STREQUAL "")
  set(LL_SANITIZE_COMPILE_FLAGS "")
  set(LL_SANITIZE_LINK_FLAGS "")
else()
  message(FATAL_ERROR "LL_SANITIZE must be empty, address or thread")
endif()

# The targets defined in `dir` and every directory below it.
function(ll_collect_targets dir out)
  get_property(targets DIRECTORY ${dir} PROPERTY BUILDSYSTEM_TARGETS)
  get_property(subdirs DIRECTORY ${dir} PROPERTY SUBDIRECTORIES)
  foreach(sub IN LISTS subdirs)
    ll_collect_targets(${sub} below)
    list(APPEND targets ${below})
  endforeach()
  set(${out} ${targets} PARENT_SCOPE)
endfunction()

function(ll_apply_flags)
  ll_collect_targets(${PROJECT_SOURCE_DIR} targets)
  set(compile_flags ${LL_WARNING_FLAGS} ${LL_SANITIZE_COMPILE_FLAGS})
  foreach(target IN LISTS targets)
    get_target_property(type ${target} TYPE)
    if(type MATCHES "^(EXECUTABLE|SHARED_LIBRARY|MODULE_LIBRARY|STATIC_LIBRARY|OBJECT_LIBRARY)$")
      # C and C++ only: the resource compiler takes none of these.
      target_compile_options(${target} PRIVATE "$<$<COMPILE_LANGUAGE:C,CXX>:${compile_flags}>")
    endif()
    if(type MATCHES "^(EXECUTABLE|SHARED_LIBRARY|MODULE_LIBRARY)$" AND LL_SANITIZE_LINK_FLAGS)
      target_link_options(${target} PRIVATE ${LL_SANITIZE_LINK_FLAGS})
    endif()
  endforeach()
endfunction()
