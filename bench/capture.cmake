# Capture benchmark (a program, not a test): the stand-in's live capture against a plain libpcap loop and
# tcpdump on the same veth traffic. Build optimised (Release) and run as root, or where unprivileged user
# namespaces are allowed:  <build>/bench/capture_bench [--frames N] [--rounds R] [--output FILE]
if(NOT WIN32)
  add_executable(capture_bench ${CMAKE_CURRENT_LIST_DIR}/capture_bench.cpp)
  target_link_libraries(capture_bench PRIVATE tamsil_objects tamsil_platform)
  target_include_directories(capture_bench PRIVATE ${CMAKE_SOURCE_DIR}/tests)
  tamsil_warnings(capture_bench)
  set_target_properties(capture_bench PROPERTIES RUNTIME_OUTPUT_DIRECTORY ${CMAKE_BINARY_DIR}/bench)
endif()
