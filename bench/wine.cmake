# Delivery from the test packet driver under Wine (a program, not a test), in the mingw builds with tests:
# `cmake --build <build-win64 or build-win32> --target bench_wine_driver` builds it and runs it in a Wine prefix
# of its own (bench/wineprefix, made and removed by tests/windows/wine_prefix.sh). Build optimised (Release).
if(WIN32 AND TAMSIL_TESTS AND CMAKE_CROSSCOMPILING_EMULATOR)
  set(_bench_dir ${CMAKE_BINARY_DIR}/bench)
  add_executable(wine_driver_bench ${CMAKE_CURRENT_LIST_DIR}/wine_driver_bench.cpp)
  target_link_libraries(wine_driver_bench PRIVATE tamsil_jni advapi32)
  target_include_directories(wine_driver_bench PRIVATE ${CMAKE_SOURCE_DIR}/tests ${CMAKE_SOURCE_DIR}/platform)
  set_target_properties(wine_driver_bench PROPERTIES RUNTIME_OUTPUT_DIRECTORY ${_bench_dir})
  tamsil_warnings(wine_driver_bench)
  tamsil_static_runtime(wine_driver_bench)
  # The driver is built with the tests (tests/windows/driver); the program finds it and tamsil.dll beside it.
  add_dependencies(wine_driver_bench netvorel_test_driver)
  tamsil_beside_product_dll(wine_driver_bench)
  add_custom_command(TARGET wine_driver_bench POST_BUILD
                     COMMAND ${CMAKE_COMMAND} -E copy_if_different
                             ${CMAKE_BINARY_DIR}/tests/windows/win32/netvorel_test.sys ${_bench_dir})
  if(CMAKE_SIZEOF_VOID_P EQUAL 4)
    set(_arch win32)
  else()
    set(_arch win64)
  endif()
  add_custom_target(bench_wine_driver
    COMMAND sh ${CMAKE_CURRENT_LIST_DIR}/wine_driver_bench.sh ${_bench_dir}/wineprefix ${_arch}
            ${CMAKE_CROSSCOMPILING_EMULATOR} $<TARGET_FILE:wine_driver_bench>
            ${CMAKE_SOURCE_DIR}/tests/windows/wine_prefix.sh
    DEPENDS wine_driver_bench
    USES_TERMINAL VERBATIM)
endif()
