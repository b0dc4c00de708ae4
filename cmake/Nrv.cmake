# Helpers shared by every folder: compile flags, deliverables, tests under Wine.

set(NRV_WINE_RUN "${PROJECT_SOURCE_DIR}/scripts/wine-run.sh")

# Flags for the project's own code (not for GoogleTest).
function(nrv_target_defaults target)
  target_compile_features(${target} PRIVATE cxx_std_20)
  target_compile_definitions(${target} PRIVATE
    UNICODE _UNICODE WIN32_LEAN_AND_MEAN NOMINMAX
    _WIN32_WINNT=0x0A00 WINVER=0x0A00
    # Wide printf formats follow the Windows runtime: %s takes a wide string.
    __USE_MINGW_ANSI_STDIO=0)
  target_compile_options(${target} PRIVATE
    $<$<COMPILE_LANGUAGE:C,CXX>:-Wall -Wextra -Werror -Wno-unknown-pragmas>
    # Source names in log records are relative to the source tree.
    $<$<COMPILE_LANGUAGE:C,CXX>:-fmacro-prefix-map=${PROJECT_SOURCE_DIR}/=>
    $<$<COMPILE_LANGUAGE:C,CXX>:-ffunction-sections -fdata-sections>)
  get_target_property(type ${target} TYPE)
  if(NOT type STREQUAL "STATIC_LIBRARY")
    # Self-contained binaries: C and C++ runtime linked in.
    target_link_options(${target} PRIVATE -static -static-libgcc -static-libstdc++
      -Wl,--gc-sections $<$<NOT:$<CONFIG:Debug>>:-s>)
  endif()
endfunction()

# A program or library that ships: gathered into the output folder by the
# main job. Each is built only in the tree of the architecture it ships in.
function(nrv_deliverable target arch)
  if(NOT arch STREQUAL NRV_ARCH)
    message(FATAL_ERROR "${target} ships in ${arch}; build it only in that tree")
  endif()
  install(TARGETS ${target} RUNTIME DESTINATION bin LIBRARY DESTINATION bin)
endfunction()

# A GoogleTest binary run under Wine by ctest. GUI tests run with the run's
# Xvfb display. LOCKS names what the test holds for itself while it runs
# (say "process-list" for tests that start and look for processes by name),
# so ctest never runs two such tests at once.
function(nrv_add_test target)
  cmake_parse_arguments(ARG "GUI" "" "SOURCES;LIBS;DEPENDS;LOCKS" ${ARGN})
  add_executable(${target} ${ARG_SOURCES})
  nrv_target_defaults(${target})
  target_link_libraries(${target} PRIVATE ${ARG_LIBS} nrv_testsupport GTest::gtest)
  if(ARG_DEPENDS)
    add_dependencies(${target} ${ARG_DEPENDS})
  endif()
  set(name "${NRV_ARCH}.${target}")
  if(ARG_GUI)
    add_test(NAME ${name}
      COMMAND "${NRV_WINE_RUN}" --gui ${NRV_ARCH} $<TARGET_FILE:${target}>)
    set_tests_properties(${name} PROPERTIES LABELS "gui")
  else()
    add_test(NAME ${name} COMMAND ${target})
  endif()
  set_tests_properties(${name} PROPERTIES TIMEOUT 300)
  if(ARG_LOCKS)
    set_tests_properties(${name} PROPERTIES RESOURCE_LOCK "${ARG_LOCKS}")
  endif()
endfunction()
