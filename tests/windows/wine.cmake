# The Wine tests of the x86_64 mingw build: every test program runs under wine64 (the toolchain's
# CMAKE_CROSSCOMPILING_EMULATOR) in a throw-away prefix that the fixture `wine` creates first
# (Wine.PrefixSetup: wineboot -i and a wineserver kept for the run) and removes last (Wine.PrefixCleanup).
# No display: message boxes return at once. The tests share the prefix's registry, so they run one at a time.
# A cross build without an emulator (i686: this machine cannot run 32-bit code) builds the programs, runs none.
if(CMAKE_CROSSCOMPILING AND NOT CMAKE_CROSSCOMPILING_EMULATOR)
  function(tamsil_wine_test target)
  endfunction()
  return()
endif()

set(TAMSIL_WINE_PREFIX ${CMAKE_BINARY_DIR}/wineprefix)
set(TAMSIL_WINESERVER /usr/lib/wine/wineserver CACHE FILEPATH "Wine's server (Debian: /usr/lib/wine/wineserver)")
if(NOT TAMSIL_WINE_LOADER)
  set(TAMSIL_WINE_LOADER /usr/lib/wine/wine64)
endif()
set(TAMSIL_WINE_ENVIRONMENT
    WINEPREFIX=${TAMSIL_WINE_PREFIX} WINEDEBUG=-all WINELOADER=${TAMSIL_WINE_LOADER} "WINEDLLOVERRIDES=mscoree,mshtml=")

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
                   ${TAMSIL_WINE_LOADER} ${TAMSIL_WINESERVER})
  set_tests_properties(${_name} PROPERTIES ${_role} wine LABELS wine RESOURCE_LOCK wineprefix TIMEOUT 240)
endforeach()

# A test that runs `target` (a Windows program of this build) under Wine, with `ARGN` as its arguments.
function(tamsil_wine_test target)
  set(name Wine.${target})
  add_test(NAME ${name} COMMAND ${target} ${ARGN})
  set_tests_properties(${name} PROPERTIES
    LABELS wine FIXTURES_REQUIRED wine RESOURCE_LOCK wineprefix TIMEOUT 120
    ENVIRONMENT "${TAMSIL_WINE_ENVIRONMENT}"
    ENVIRONMENT_MODIFICATION "DISPLAY=unset:;WAYLAND_DISPLAY=unset:")
endfunction()
