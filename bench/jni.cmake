# The delivery benchmark in a JVM: `cmake --build <build> --target bench_delivery` builds and runs it.
# The library under test is built a second time as bench-lib/libtamsil.so with the benchmark's own natives
# (baselines and a feeder for the stand-in's scripted device) beside the real exports.
if(TARGET tamsil_java AND NOT WIN32)
  add_library(tamsil_bench SHARED $<TARGET_OBJECTS:tamsil_objects> ${CMAKE_CURRENT_LIST_DIR}/jni_bench_natives.cpp)
  target_link_libraries(tamsil_bench PRIVATE tamsil_platform tamsil_jni PkgConfig::PCAP)
  set_target_properties(tamsil_bench PROPERTIES OUTPUT_NAME tamsil LIBRARY_OUTPUT_DIRECTORY ${CMAKE_BINARY_DIR}/bench-lib)
  file(GLOB _bench_java CONFIGURE_DEPENDS ${CMAKE_CURRENT_LIST_DIR}/jvm/vorel/bench/*.java)
  set(_bench_classes ${CMAKE_BINARY_DIR}/bench-classes)
  add_custom_command(OUTPUT ${_bench_classes}/.stamp
    COMMAND ${CMAKE_COMMAND} -E make_directory ${_bench_classes}
    COMMAND ${Java_JAVAC_EXECUTABLE} -Xlint:all -Werror -cp ${TAMSIL_JAVA_CLASSES} -d ${_bench_classes} ${_bench_java}
    COMMAND ${CMAKE_COMMAND} -E touch ${_bench_classes}/.stamp
    DEPENDS ${_bench_java} ${TAMSIL_JAVA_CLASSES}/.stamp)
  add_custom_target(bench_delivery
    COMMAND ${Java_JAVA_EXECUTABLE} -Djava.library.path=${CMAKE_BINARY_DIR}/bench-lib
            -cp ${TAMSIL_JAVA_CLASSES}:${_bench_classes} vorel.bench.DeliveryBenchmark
    DEPENDS tamsil_bench ${_bench_classes}/.stamp
    USES_TERMINAL)
  # Replay of one million 64-byte frames against a plain libpcap read of the same file plus one copy into a Java
  # array (`cmake --build <build> --target bench_replay`; build optimised).
  add_custom_target(bench_replay
    COMMAND ${CMAKE_COMMAND} -E env "TAMSIL_WINDOWS_VERSION=5.1" "TAMSIL_ADAPTERS=bench0|Replay benchmark"
            "TAMSIL_REPLAY=NetVorel_bench0=${CMAKE_BINARY_DIR}/bench-replay.pcap"
            ${Java_JAVA_EXECUTABLE} -Djava.library.path=${CMAKE_BINARY_DIR}/bench-lib
            -cp ${TAMSIL_JAVA_CLASSES}:${_bench_classes} vorel.bench.ReplayBenchmark ${CMAKE_BINARY_DIR}/bench-replay.pcap
    DEPENDS tamsil_bench ${_bench_classes}/.stamp
    USES_TERMINAL VERBATIM)
endif()

# Live: frames per second that Java receives over a veth pair against tcpdump on the same traffic
# (`cmake --build <build> --target bench_live`; root, for the network namespaces).
if(TARGET tamsil_java AND NOT WIN32)
  add_executable(udp_flood ${CMAKE_CURRENT_LIST_DIR}/udp_flood.cpp)
  tamsil_warnings(udp_flood)
  add_custom_target(bench_live
    COMMAND ${CMAKE_CURRENT_LIST_DIR}/live_jvm.sh ${Java_JAVA_EXECUTABLE} ${TAMSIL_JAVA_CLASSES}:${_bench_classes}
            $<TARGET_FILE_DIR:tamsil> $<TARGET_FILE:udp_flood>
    DEPENDS tamsil udp_flood ${_bench_classes}/.stamp
    USES_TERMINAL)
endif()

# The capture console saving a replay of 1,000,000 frames, this build's console against an earlier commit's
# (`cmake --build <build> --target bench_console_write`, with -DTAMSIL_BENCH_BEFORE=<commit>; build optimised).
if(TARGET tamsil_java AND NOT WIN32)
  set(TAMSIL_BENCH_BEFORE "HEAD~1" CACHE STRING "The commit whose console bench_console_write compares with")
  add_custom_target(bench_console_write
    COMMAND sh ${CMAKE_CURRENT_LIST_DIR}/console_write_bench.sh ${Java_JAVA_EXECUTABLE} $<TARGET_FILE_DIR:tamsil>
            ${TAMSIL_JAVA_CLASSES} ${CMAKE_SOURCE_DIR} ${TAMSIL_BENCH_BEFORE}
    DEPENDS tamsil tamsil_java
    USES_TERMINAL VERBATIM)
endif()
