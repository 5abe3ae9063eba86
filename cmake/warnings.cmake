function(tamsil_warnings target)
  if(MSVC)
    target_compile_options(${target} PRIVATE /W4 /WX)
  else()
    target_compile_options(${target} PRIVATE -Wall -Wextra -Wpedantic -Wshadow -Wno-missing-field-initializers -Werror)
    if(CMAKE_CXX_COMPILER_ID STREQUAL "GNU")
      # GCC 12 reports std::string concatenation at -O2 as overlapping memcpy (its bug 105329).
      target_compile_options(${target} PRIVATE -Wno-restrict)
    endif()
    if(CMAKE_CXX_COMPILER_ID MATCHES "Clang")
      # OVERLAPPED's anonymous struct inside an anonymous union is the platform's own layout.
      target_compile_options(${target} PRIVATE -Wno-nested-anon-types -Wno-gnu-anonymous-struct)
    endif()
  endif()
endfunction()

# Windows artefacts carry the C and C++ run-times inside, so they import only system DLLs.
function(tamsil_static_runtime target)
  if(WIN32)
    target_link_options(${target} PRIVATE -static -static-libgcc -static-libstdc++)
  endif()
endfunction()
