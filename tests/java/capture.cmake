# Capture from a replayed file through the JVM; run_jvm_test.sh compares the whole standard output.
tamsil_jvm_test(jvm_capture_replay CLASS vorel.tests.CaptureReplayTest ARGS ${CMAKE_CURRENT_BINARY_DIR}/replay.pcap
  ENV "TAMSIL_WINDOWS_VERSION=5.1" "TAMSIL_ADAPTERS=replay0|Replayed frames"
      "TAMSIL_REPLAY=NetVorel_replay0=${CMAKE_CURRENT_BINARY_DIR}/replay.pcap"
  EXPECT ${CMAKE_CURRENT_SOURCE_DIR}/expected/capture_replay.txt)
