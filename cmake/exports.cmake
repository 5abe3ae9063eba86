# The JNI library exports the Java_ entry points and nothing else of its own.
function(tamsil_shared_library_exports target)
  if(WIN32)
    set_target_properties(${target} PROPERTIES PREFIX "")
    tamsil_static_runtime(${target})
    if(CMAKE_SIZEOF_VOID_P EQUAL 4)
      # A 32-bit JVM looks up _Java_...@N first, then Java_...; the .def file gives exactly those two.
      target_sources(${target} PRIVATE ${CMAKE_SOURCE_DIR}/cmake/tamsil-i686.def)
    endif()
  else()
    set_target_properties(${target} PROPERTIES C_VISIBILITY_PRESET hidden CXX_VISIBILITY_PRESET hidden)
    target_link_options(${target} PRIVATE -Wl,--exclude-libs,ALL -Wl,--no-undefined)
  endif()
endfunction()
