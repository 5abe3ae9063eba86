# The Java side: NativeCollection, the capture console and the JVM tests, compiled with javac.
find_package(Java 17 COMPONENTS Development Runtime)
if(Java_FOUND AND NOT WIN32)
  file(GLOB_RECURSE TAMSIL_JAVA_SOURCES CONFIGURE_DEPENDS ${CMAKE_SOURCE_DIR}/java/*.java)
  set(TAMSIL_JAVA_CLASSES ${CMAKE_BINARY_DIR}/java-classes)
  add_custom_command(
    OUTPUT ${TAMSIL_JAVA_CLASSES}/.stamp
    COMMAND ${CMAKE_COMMAND} -E make_directory ${TAMSIL_JAVA_CLASSES}
    COMMAND ${Java_JAVAC_EXECUTABLE} -Xlint:all -Werror -d ${TAMSIL_JAVA_CLASSES} ${TAMSIL_JAVA_SOURCES}
    COMMAND ${CMAKE_COMMAND} -E touch ${TAMSIL_JAVA_CLASSES}/.stamp
    DEPENDS ${TAMSIL_JAVA_SOURCES}
    COMMENT "Compiling the Java classes")
  add_custom_target(tamsil_java ALL DEPENDS ${TAMSIL_JAVA_CLASSES}/.stamp)
endif()
