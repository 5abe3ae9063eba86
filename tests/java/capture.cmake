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

# Starts on the registry path: Windows NT 4.0 with card numbers, and card -2 on 5.1 through the console
# dialogue. The first start's device does not open; the second replays a file, and its promiscuous request is
# refused (TAMSIL_FAIL_CALLS), which is only a warning.
foreach(_variant v4 v5)
  if(_variant STREQUAL v4)
    set(_version 4.0)
    set(_cards 2 1)
    set(_device Packet_E1000)
    set(_stdin)
  else()
    set(_version 5.1)
    set(_cards -2 -2)
    set(_device NetVorel_E1000)
    set(_stdin STDIN ${CMAKE_CURRENT_SOURCE_DIR}/fixtures/registry_start_answers.txt)
  endif()
  tamsil_jvm_test(jvm_capture_registry_${_variant} CLASS vorel.tests.RegistryStartTest
    ARGS ${CMAKE_CURRENT_BINARY_DIR}/registry_${_variant}.pcap ${_cards}
    ENV "TAMSIL_WINDOWS_VERSION=${_version}" "TAMSIL_FAIL_CALLS=DeviceIoControl=50"
        "TAMSIL_REPLAY=${_device}=${CMAKE_CURRENT_BINARY_DIR}/registry_${_variant}.pcap"
    REGISTRY ${CMAKE_CURRENT_SOURCE_DIR}/fixtures/capture_registry_${_variant}.reg ${_stdin}
    EXPECT ${CMAKE_CURRENT_SOURCE_DIR}/expected/capture_registry_${_variant}.txt)
endforeach()
