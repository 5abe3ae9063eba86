# Stress: 1,000,000 numbered frames replayed from a file through the JVM while another Java thread toggles the
# pause and stops and restarts delivery; every frame must arrive once, in order. The test writes the file
# (and removes it when it passes); a watchdog in the test releases the library if frames stop coming.
tamsil_jvm_test(jvm_capture_stress CLASS vorel.tests.StressCaptureTest
  ARGS ${CMAKE_CURRENT_BINARY_DIR}/stress.pcap 1000000
  ENV "TAMSIL_WINDOWS_VERSION=5.1" "TAMSIL_ADAPTERS=stress0|Stress frames"
      "TAMSIL_REPLAY=NetVorel_stress0=${CMAKE_CURRENT_BINARY_DIR}/stress.pcap"
  TIMEOUT 300 LABELS stress)

# Four Java threads delivering from one replayed file of 200,000 frames while the pause and stop toggle: each
# frame reaches exactly one thread, intact, and each thread sees its frames in increasing order.
tamsil_jvm_test(jvm_capture_four_threads CLASS vorel.tests.StressCaptureTest
  ARGS ${CMAKE_CURRENT_BINARY_DIR}/four_threads.pcap 200000 4
  ENV "TAMSIL_WINDOWS_VERSION=5.1" "TAMSIL_ADAPTERS=stress0|Stress frames"
      "TAMSIL_REPLAY=NetVorel_stress0=${CMAKE_CURRENT_BINARY_DIR}/four_threads.pcap"
  TIMEOUT 300 LABELS stress)
