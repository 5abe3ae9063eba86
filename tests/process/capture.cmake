# The capture console through a real JVM: needs the library and the Java classes, so it is a java test.
if(TARGET tamsil_java)
  add_executable(capture_console_test ${CMAKE_CURRENT_LIST_DIR}/capture_console_test.cpp)
  target_link_libraries(capture_console_test PRIVATE ${TAMSIL_GTEST_MAIN} PkgConfig::PCAP)
  target_include_directories(capture_console_test PRIVATE ${CMAKE_SOURCE_DIR}/tests)
  target_compile_definitions(capture_console_test PRIVATE JAVA_EXECUTABLE="${Java_JAVA_EXECUTABLE}"
    TAMSIL_LIBRARY_DIR="$<TARGET_FILE_DIR:tamsil>" TAMSIL_JAVA_CLASSES="${TAMSIL_JAVA_CLASSES}")
  add_dependencies(capture_console_test tamsil tamsil_java)
  tamsil_warnings(capture_console_test)
  gtest_discover_tests(capture_console_test PROPERTIES LABELS java DISCOVERY_TIMEOUT 60)
endif()
