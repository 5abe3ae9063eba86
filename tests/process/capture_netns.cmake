# The capture path on real traffic in private network namespaces (label netns). Root, or a kernel that gives
# unprivileged user namespaces, is needed; elsewhere each test reports SKIPPED. Each test runs in a process of
# its own, so each has namespaces of its own.
add_executable(capture_netns_test ${CMAKE_CURRENT_LIST_DIR}/capture_netns_test.cpp)
target_link_libraries(capture_netns_test PRIVATE tamsil_objects tamsil_platform ${TAMSIL_GTEST_MAIN})
target_include_directories(capture_netns_test PRIVATE ${CMAKE_SOURCE_DIR}/tests)
tamsil_warnings(capture_netns_test)
gtest_discover_tests(capture_netns_test PROPERTIES LABELS netns TIMEOUT 120 DISCOVERY_TIMEOUT 60)
