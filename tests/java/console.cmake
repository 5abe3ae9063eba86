# The capture console (java/com/larkspire/vorel/console): pure-Java tests of its frame decoder, command line and
# capture session (no JNI), and two runs of the console itself that need no adapter. Label: java.
if(TARGET tamsil_java)
  set(_console_test_classes ${CMAKE_CURRENT_BINARY_DIR}/console-test-classes)
  file(GLOB _console_test_sources CONFIGURE_DEPENDS ${CMAKE_CURRENT_SOURCE_DIR}/console/*.java)
  add_custom_command(
    OUTPUT ${_console_test_classes}/.stamp
    COMMAND ${CMAKE_COMMAND} -E remove_directory ${_console_test_classes}
    COMMAND ${CMAKE_COMMAND} -E make_directory ${_console_test_classes}
    COMMAND ${Java_JAVAC_EXECUTABLE} -Xlint:all -Werror -cp ${TAMSIL_JAVA_CLASSES} -d ${_console_test_classes}
            ${_console_test_sources}
    COMMAND ${CMAKE_COMMAND} -E touch ${_console_test_classes}/.stamp
    DEPENDS ${_console_test_sources} ${TAMSIL_JAVA_CLASSES}/.stamp
    COMMENT "Compiling the capture console's Java tests")
  add_custom_target(tamsil_console_java_tests ALL DEPENDS ${_console_test_classes}/.stamp)
  add_dependencies(tamsil_console_java_tests tamsil_java)

  set(_console_classpath "${TAMSIL_JAVA_CLASSES}:${_console_test_classes}")
  foreach(_test FrameSummaryTest CaptureConsoleTest CaptureFilesTest)
    add_test(NAME java_console_${_test}
             COMMAND ${Java_JAVA_EXECUTABLE} -cp ${_console_classpath} com.larkspire.vorel.console.${_test})
    set_tests_properties(java_console_${_test} PROPERTIES LABELS java TIMEOUT 120)
  endforeach()

  # The console answers --help, and explains a missing library, without loading the library.
  add_test(NAME java_console_help
           COMMAND ${Java_JAVA_EXECUTABLE} -cp ${TAMSIL_JAVA_CLASSES} com.larkspire.vorel.console.CaptureConsole --help)
  set_tests_properties(java_console_help PROPERTIES LABELS java TIMEOUT 60
                       PASS_REGULAR_EXPRESSION "Usage: CaptureConsole \\[options\\] \\[card\\]")
  add_test(NAME java_console_without_library
           COMMAND ${Java_JAVA_EXECUTABLE} -Djava.library.path=${_console_test_classes} -cp ${TAMSIL_JAVA_CLASSES}
                   com.larkspire.vorel.console.CaptureConsole --list)
  set_tests_properties(java_console_without_library PROPERTIES LABELS java TIMEOUT 60
                       PASS_REGULAR_EXPRESSION "cannot load the tamsil library")
endif()
