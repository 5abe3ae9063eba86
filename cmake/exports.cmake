# The JNI library exports the Java_ entry points and nothing else of its own.
function(tamsil_shared_library_exports target)
  if(WIN32)
    set_target_properties(${target} PROPERTIES PREFIX "")
    tamsil_static_runtime(${target})
    # Nothing is exported automatically, neither our own symbols nor those of the static run-times.
    target_link_options(${target} PRIVATE -Wl,--exclude-all-symbols -Wl,--exclude-libs,ALL)
    if(CMAKE_SIZEOF_VOID_P EQUAL 4)
      # A 32-bit JVM looks up _Java_...@N first, then Java_...; the .def file gives exactly those two.
      # cmake/tamsil-i686.def is the full list; the link uses a copy filtered to the exports that the
      # object files define (cmake/tamsil-def.cmake), so a missing export shows in the check, not as a
      # failed link.
      set(_def ${CMAKE_BINARY_DIR}/tamsil-i686.def)
      add_custom_command(
        OUTPUT ${_def}
        COMMAND ${CMAKE_COMMAND} -DNM=${CMAKE_NM} -DFULL_DEF=${CMAKE_SOURCE_DIR}/cmake/tamsil-i686.def
                "-DOBJECTS=$<JOIN:$<TARGET_OBJECTS:tamsil_objects>,|>" -DOUT=${_def}
                -P ${CMAKE_SOURCE_DIR}/cmake/tamsil-def.cmake
        DEPENDS ${CMAKE_SOURCE_DIR}/cmake/tamsil-i686.def ${CMAKE_SOURCE_DIR}/cmake/tamsil-def.cmake
                $<TARGET_OBJECTS:tamsil_objects>
        COMMENT "Writing the export list of tamsil.dll"
        VERBATIM)
      target_sources(${target} PRIVATE ${_def})
    endif()
  else()
    set_target_properties(${target} PROPERTIES C_VISIBILITY_PRESET hidden CXX_VISIBILITY_PRESET hidden)
    target_link_options(${target} PRIVATE -Wl,--exclude-libs,ALL)
    if(NOT TAMSIL_SANITIZE)
      # A sanitizer's run-time comes with the program that loads the library, not with the library.
      target_link_options(${target} PRIVATE -Wl,--no-undefined)
    endif()
  endif()
endfunction()
