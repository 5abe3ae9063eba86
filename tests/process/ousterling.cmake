# ousterling: whole-process tests, and the wiring of its unit tests.
if(NOT TARGET ousterling)
  return()
endif()

# Another program that holds the network configuration's write lock (the stand-in's, through its COM objects).
add_executable(netcfg_lock_holder ${CMAKE_CURRENT_LIST_DIR}/netcfg_lock_holder.cpp)
target_link_libraries(netcfg_lock_holder PRIVATE tamsil_platform)
tamsil_warnings(netcfg_lock_holder)

# ousterling run as a real process, one run per outcome row and edge case (label: process).
add_executable(ousterling_process_test ${CMAKE_CURRENT_LIST_DIR}/ousterling_process_test.cpp)
target_link_libraries(ousterling_process_test PRIVATE ${TAMSIL_GTEST_MAIN})
target_include_directories(ousterling_process_test PRIVATE ${CMAKE_SOURCE_DIR}/tests)
target_compile_definitions(ousterling_process_test PRIVATE OUSTERLING_PATH="$<TARGET_FILE:ousterling>"
                                                           NETCFG_LOCK_HOLDER_PATH="$<TARGET_FILE:netcfg_lock_holder>")
add_dependencies(ousterling_process_test ousterling netcfg_lock_holder)
tamsil_warnings(ousterling_process_test)
gtest_discover_tests(ousterling_process_test PROPERTIES LABELS process TIMEOUT 60 DISCOVERY_TIMEOUT 60)

# The unit tests of ousterling (tests/unit/uninstall*_test.cpp) link its code; the tests of the
# stand-in's COM objects (netcfg*_test.cpp) need only the platform, which every unit test has.
file(GLOB _ousterling_unit_tests CONFIGURE_DEPENDS ${CMAKE_SOURCE_DIR}/tests/unit/uninstall*_test.cpp)
foreach(_test ${_ousterling_unit_tests})
  get_filename_component(_name ${_test} NAME_WE)
  if(TARGET ${_name})
    target_link_libraries(${_name} PRIVATE ousterling_parts)
  endif()
endforeach()
