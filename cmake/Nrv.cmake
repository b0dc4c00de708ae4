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
# main job from the tree of the architecture it ships in. x86 programs are
# built in the x64 tree too, where their tests run as well: a machine whose
# kernel has no IA-32 emulation runs no 32-bit program at all. x64-only
# programs (services that need the 64-bit system, drivers) build only in x64.
function(nrv_deliverable target arch)
  if(arch STREQUAL NRV_ARCH)
    install(TARGETS ${target} RUNTIME DESTINATION bin LIBRARY DESTINATION bin)
  elseif(NOT (arch STREQUAL "x86" AND NRV_ARCH STREQUAL "x64"))
    message(FATAL_ERROR "${target} ships in ${arch}; build it only in that tree")
  endif()
endfunction()

# A GoogleTest binary run under Wine by ctest. GUI tests run with the run's
# Xvfb display. LOCKS names what the test holds for itself while it runs
# (say "process-list" for tests that start and look for processes by name),
# so ctest never runs two such tests at once. VADSIM tests talk to the
# simulated value-added device: they require the fixture of that name (see
# nrv_vadsim_fixture) and hold the device, whose scripts are shared state.
# ARGS go to the test binary.
function(nrv_add_test target)
  cmake_parse_arguments(ARG "GUI;VADSIM" "" "SOURCES;LIBS;DEPENDS;LOCKS;ARGS" ${ARGN})
  add_executable(${target} ${ARG_SOURCES})
  nrv_target_defaults(${target})
  target_link_libraries(${target} PRIVATE ${ARG_LIBS} nrv_testsupport GTest::gtest)
  if(ARG_DEPENDS)
    add_dependencies(${target} ${ARG_DEPENDS})
  endif()
  set(name "${NRV_ARCH}.${target}")
  if(ARG_GUI)
    add_test(NAME ${name}
      COMMAND "${NRV_WINE_RUN}" --gui ${NRV_ARCH} $<TARGET_FILE:${target}> ${ARG_ARGS})
    set_tests_properties(${name} PROPERTIES LABELS "gui")
  else()
    add_test(NAME ${name} COMMAND ${target} ${ARG_ARGS})
  endif()
  set_tests_properties(${name} PROPERTIES TIMEOUT 300)
  if(ARG_VADSIM)
    set_tests_properties(${name} PROPERTIES FIXTURES_REQUIRED vadsim)
    list(APPEND ARG_LOCKS vadsim)
  endif()
  if(ARG_LOCKS)
    set_tests_properties(${name} PROPERTIES RESOURCE_LOCK "${ARG_LOCKS}")
  endif()
endfunction()

# An x64 WDM kernel driver (.sys) on MinGW-w64's DDK headers. Not
# nrv_target_defaults: a driver links no C or C++ runtime, only the kernel's
# import libraries, and its C++ is the kernel-safe subset (no exceptions, no
# RTTI, no standard library, no global constructors).
function(nrv_kernel_driver target)
  cmake_parse_arguments(ARG "" "" "SOURCES;INCLUDES;LIBS" ${ARGN})
  if(NOT NRV_ARCH STREQUAL "x64")
    message(FATAL_ERROR "${target} is an x64 kernel driver; build it only in the x64 tree")
  endif()
  add_library(${target} MODULE ${ARG_SOURCES})
  set_target_properties(${target} PROPERTIES PREFIX "" SUFFIX ".sys"
    LIBRARY_OUTPUT_DIRECTORY "${CMAKE_BINARY_DIR}/bin")
  target_compile_features(${target} PRIVATE cxx_std_20)
  target_include_directories(${target} PRIVATE ${ARG_INCLUDES})
  target_include_directories(${target} SYSTEM PRIVATE "${CMAKE_FIND_ROOT_PATH}/include/ddk")
  target_compile_definitions(${target} PRIVATE
    # intrin.h defines these already; wdm.h would define them a second time.
    __INTRINSIC_DEFINED_InterlockedBitTestAndSet __INTRINSIC_DEFINED_InterlockedBitTestAndReset)
  target_compile_options(${target} PRIVATE -Wall -Wextra -Werror -fno-exceptions -fno-rtti
    -fmacro-prefix-map=${PROJECT_SOURCE_DIR}/= -ffunction-sections -fdata-sections)
  target_link_options(${target} PRIVATE -nostdlib -Wl,--subsystem,native -Wl,-e,DriverEntry
    -Wl,--exclude-all-symbols -Wl,--gc-sections $<$<NOT:$<CONFIG:Debug>>:-s>)
  target_link_libraries(${target} PRIVATE ${ARG_LIBS} ntoskrnl)
endfunction()

# The ctest fixture "vadsim": a setup test installs the simulated value-added
# device's driver SYS as a kernel service in the run's Wine prefix and starts
# it, a cleanup test stops and deletes it, so a run leaves no service behind.
# Both also register and unregister the posture indicators' device interfaces
# with the tree's vadctl (which must exist where this is called).
# Tests declare it with nrv_add_test(... VADSIM). The x86 and x64 trees run
# one after the other, each installing and removing the service once.
function(nrv_vadsim_fixture sys)
  set(script "${PROJECT_SOURCE_DIR}/scripts/vadsim.sh")
  add_test(NAME ${NRV_ARCH}.vadsim_install
    COMMAND "${script}" install "${sys}" $<TARGET_FILE:vadctl>)
  add_test(NAME ${NRV_ARCH}.vadsim_remove COMMAND "${script}" remove $<TARGET_FILE:vadctl>)
  set_tests_properties(${NRV_ARCH}.vadsim_install PROPERTIES FIXTURES_SETUP vadsim)
  set_tests_properties(${NRV_ARCH}.vadsim_remove PROPERTIES FIXTURES_CLEANUP vadsim)
  set_tests_properties(${NRV_ARCH}.vadsim_install ${NRV_ARCH}.vadsim_remove PROPERTIES
    RESOURCE_LOCK vadsim TIMEOUT 120)
endfunction()
