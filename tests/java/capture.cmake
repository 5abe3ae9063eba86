# Capture from a replayed file through the JVM; run_jvm_test.sh compares the whole standard output.
tamsil_jvm_test(jvm_capture_replay CLASS vorel.tests.CaptureReplayTest ARGS ${CMAKE_CURRENT_BINARY_DIR}/replay.pcap
  ENV "TAMSIL_WINDOWS_VERSION=5.1" "TAMSIL_ADAPTERS=replay0|Replayed frames"
      "TAMSIL_REPLAY=NetVorel_replay0=${CMAKE_CURRENT_BINARY_DIR}/replay.pcap"
  EXPECT ${CMAKE_CURRENT_SOURCE_DIR}/expected/capture_replay.txt)

# Live: numbered datagrams over a veth pair between two private namespaces, received exactly once in Java.
if(TARGET tamsil_jvm_tests)
  add_test(NAME jvm_capture_live_netns
    COMMAND ${CMAKE_CURRENT_SOURCE_DIR}/live_netns.sh ${Java_JAVA_EXECUTABLE}
            ${TAMSIL_JAVA_CLASSES}:${TAMSIL_JVM_TEST_CLASSES} $<TARGET_FILE_DIR:tamsil> 2000)
  set_tests_properties(jvm_capture_live_netns PROPERTIES LABELS "java;netns" TIMEOUT 120 SKIP_RETURN_CODE 77)
endif()
