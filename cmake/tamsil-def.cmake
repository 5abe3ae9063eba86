# Writes the .def file that tamsil.dll (32-bit) is linked with: the entries of the full list
# (cmake/tamsil-i686.def) for the JNI exports that the object files define, so that the link works while
# some exports are not written yet (a .def naming an undefined symbol fails the link).
# An export is given the decoration its object file has: a wrong stack size (@N) or a missing __stdcall
# then shows in the DLL, where tests/windows/check_exports.cmake reports it.
#
# cmake -DNM=<nm> -DFULL_DEF=<full .def> -DOBJECTS=<a|b|c> -DOUT=<.def to write> -P tamsil-def.cmake
foreach(var NM FULL_DEF OUT)
  if(NOT DEFINED ${var})
    message(FATAL_ERROR "tamsil-def.cmake: ${var} not given")
  endif()
endforeach()
string(REPLACE "|" ";" _objects "${OBJECTS}")

set(_defined "")
if(_objects)
  execute_process(COMMAND ${NM} -g --defined-only ${_objects}
                  OUTPUT_VARIABLE _nm RESULT_VARIABLE _rc ERROR_VARIABLE _err)
  if(NOT _rc EQUAL 0)
    message(FATAL_ERROR "tamsil-def.cmake: ${NM} failed: ${_err}")
  endif()
  string(REGEX MATCHALL "[ \t][TtDdBbRr][ \t]+_Java_[A-Za-z0-9_]+(@[0-9]+)?" _hits "${_nm}")
  foreach(_hit ${_hits})
    string(REGEX REPLACE "^.*[ \t]_(Java_[A-Za-z0-9_]+(@[0-9]+)?)$" "\\1" _symbol "${_hit}")
    list(APPEND _defined ${_symbol})
  endforeach()
endif()

file(STRINGS ${FULL_DEF} _lines)
set(_text "; Generated from ${FULL_DEF} by cmake/tamsil-def.cmake: the exports the object files define.\n")
string(APPEND _text "LIBRARY tamsil.dll\nEXPORTS\n")
set(_count 0)
set(_missing "")
foreach(_line ${_lines})
  if(NOT _line MATCHES "^[ \t]*_(Java_[A-Za-z0-9_]+)@([0-9]+)[ \t]*=")
    continue()
  endif()
  set(_name ${CMAKE_MATCH_1})
  set(_found "")
  foreach(_symbol ${_defined})
    if(_symbol STREQUAL _name OR _symbol MATCHES "^${_name}@[0-9]+$")
      set(_found ${_symbol})
      break()
    endif()
  endforeach()
  if(NOT _found)
    list(APPEND _missing ${_name})
  elseif(_found MATCHES "@")
    math(EXPR _count "${_count} + 1")
    string(APPEND _text "    _${_found} = ${_found}\n    ${_name} = ${_found}\n")
  else()
    # Not __stdcall (no @N): export the plain name only; the check reports the missing _...@N name.
    math(EXPR _count "${_count} + 1")
    string(APPEND _text "    ${_name}\n")
  endif()
endforeach()

if(_missing)
  list(LENGTH _missing _n)
  string(REPLACE "Java_com_larkspire_vorel_util_NativeCollection_" "" _short "${_missing}")
  string(REPLACE ";" " " _short "${_short}")
  message(STATUS "tamsil.dll: ${_count} JNI exports; not defined yet (${_n}): ${_short}")
endif()

file(WRITE ${OUT} "${_text}")
