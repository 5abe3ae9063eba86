# The Wine tests of the mingw builds: every test program runs under Wine (the toolchain's
# CMAKE_CROSSCOMPILING_EMULATOR) in a throw-away prefix that the fixture `wine` creates once for the run
# (Wine.PrefixSetup: wineboot -i and a wineserver kept for the run) and removes last (Wine.PrefixCleanup).
#   x86_64 build: wine64; the prefix is made without its 32-bit half (seconds).
#   i686 build, the product: the 32-bit loader, through qemu-i386 where the kernel cannot run i386 programs;
#     the prefix gets its 32-bit half as well, which qemu makes slow (minutes), so no test makes its own.
# No display: Wine's null graphics driver makes message boxes real windows that the tests answer.
# The tests share the prefix's registry, services and windows. Each holds both of the prefix's two lanes, so
# it runs alone, unless tamsil_wine_lane() gives it one lane: with `ctest -j2` a program of lane a may then run
# beside one of lane b (the i686 stage does, its program starts being slow). Programs of different lanes must
# not touch the same registry keys, services or dialogues.
if(CMAKE_CROSSCOMPILING AND NOT CMAKE_CROSSCOMPILING_EMULATOR)
  function(tamsil_wine_test target)
  endfunction()
  function(tamsil_wine_lane lane)
  endfunction()
  return()
endif()

if(CMAKE_SIZEOF_VOID_P EQUAL 4)
  set(TAMSIL_WINE_ARCH win32)
  # Each 32-bit program start costs tens of seconds under qemu, on a machine shared with other builds.
  set(TAMSIL_WINE_SETUP_TIMEOUT 1200)
  set(TAMSIL_WINE_TEST_TIMEOUT 900)
  # What a test may wait for a program it starts (a service, ousterling) to get going.
  set(TAMSIL_WINE_START_SECONDS 600)
else()
  set(TAMSIL_WINE_ARCH win64)
  set(TAMSIL_WINE_SETUP_TIMEOUT 240)
  set(TAMSIL_WINE_TEST_TIMEOUT 120)
  set(TAMSIL_WINE_START_SECONDS 10)
endif()

set(TAMSIL_WINE_PREFIX ${CMAKE_BINARY_DIR}/wineprefix)
set(TAMSIL_WINE_RUN ${CMAKE_CURRENT_LIST_DIR}/wine_run.sh)
# The cases left out where 32-bit Wine runs through qemu-i386, and where the stage records those it left out.
set(TAMSIL_WINE_QEMU_SKIPS ${CMAKE_CURRENT_LIST_DIR}/qemu_skips.txt)
set(TAMSIL_WINE_SKIP_RECORD ${CMAKE_BINARY_DIR}/wine-skipped.txt)
set(TAMSIL_WINESERVER /usr/lib/wine/wineserver CACHE FILEPATH "Wine's server (Debian: /usr/lib/wine/wineserver)")
set(TAMSIL_WINE64_LOADER /usr/lib/wine/wine64 CACHE FILEPATH "Wine's 64-bit loader, which makes the prefix")
if(NOT TAMSIL_WINE_LOADER)
  set(TAMSIL_WINE_LOADER ${TAMSIL_WINE64_LOADER})
endif()
set(TAMSIL_WINE_ENVIRONMENT
    WINEPREFIX=${TAMSIL_WINE_PREFIX} WINEDEBUG=-all WINELOADER=${TAMSIL_WINE_LOADER} "WINEDLLOVERRIDES=mscoree,mshtml="
    TAMSIL_WINE_START_SECONDS=${TAMSIL_WINE_START_SECONDS} TAMSIL_WINE_SKIP_RECORD=${TAMSIL_WINE_SKIP_RECORD})
set(TAMSIL_WINE_LANES wineprefix-a wineprefix-b)

foreach(_action setup cleanup)
  if(_action STREQUAL setup)
    set(_name Wine.PrefixSetup)
    set(_role FIXTURES_SETUP)
  else()
    set(_name Wine.PrefixCleanup)
    set(_role FIXTURES_CLEANUP)
  endif()
  add_test(NAME ${_name}
           COMMAND sh ${CMAKE_CURRENT_SOURCE_DIR}/wine_prefix.sh ${_action} ${TAMSIL_WINE_PREFIX}
                   ${TAMSIL_WINE64_LOADER} ${TAMSIL_WINESERVER} ${TAMSIL_WINE_ARCH} ${TAMSIL_WINE_LOADER}
                   ${TAMSIL_WINE_SKIP_RECORD})
  set_tests_properties(${_name} PROPERTIES ${_role} wine LABELS wine RESOURCE_LOCK "${TAMSIL_WINE_LANES}"
                       TIMEOUT ${TAMSIL_WINE_SETUP_TIMEOUT})
endforeach()

# tamsil_wine_command(<variable> <test> <program> [arguments...]): the command line that runs a Windows
# program of this build under Wine for the test Wine.<test> (wine_run.sh: output kept off ctest's pipes, a
# time limit, the qemu skip list).
function(tamsil_wine_command variable test program)
  set(${variable} sh ${TAMSIL_WINE_RUN} ${test} ${TAMSIL_WINE_TEST_TIMEOUT} ${TAMSIL_WINE_QEMU_SKIPS}
      ${TAMSIL_WINE_LOADER} ${program} ${ARGN} PARENT_SCOPE)
endfunction()

# A test that runs `target` (a Windows program of this build) under Wine, with `ARGN` as its arguments.
function(tamsil_wine_test target)
  set(name Wine.${target})
  tamsil_wine_command(_command ${target} $<TARGET_FILE:${target}> ${ARGN})
  add_test(NAME ${name} COMMAND ${_command})
  tamsil_wine_properties(${name})
endfunction()

# The properties every Wine test shares: the prefix, both lanes until tamsil_wine_lane() gives it one, a ctest
# limit beyond wine_run.sh's own (so that the program is named when it hangs), the environment.
function(tamsil_wine_properties name)
  math(EXPR _limit "${TAMSIL_WINE_TEST_TIMEOUT} + 60")
  set_tests_properties(${name} PROPERTIES
    LABELS wine FIXTURES_REQUIRED wine RESOURCE_LOCK "${TAMSIL_WINE_LANES}" TIMEOUT ${_limit}
    ENVIRONMENT "${TAMSIL_WINE_ENVIRONMENT}"
    ENVIRONMENT_MODIFICATION "DISPLAY=unset:;WAYLAND_DISPLAY=unset:")
endfunction()

# tamsil_wine_lane(<a|b> <target>...): the Wine tests of these programs hold only that lane.
function(tamsil_wine_lane lane)
  foreach(target ${ARGN})
    set_tests_properties(Wine.${target} PROPERTIES RESOURCE_LOCK wineprefix-${lane})
  endforeach()
endfunction()
