# A stand-in DLL that serves a few functions itself and hands every other
# export of the system's DLL on to it: Wine's own modules in the program's
# process (user32 and gdi32 load setupapi) call functions the stand-in knows
# nothing of, and a missing export would end in the debugger.
#
# korvid_forwarding_dll(TARGET DLL_NAME EXPORTS list-file OWN name... SOURCES file...)
# generates, from the export list, one jump thunk per forwarded name through
# a table that system_forwarder.cpp fills from the system's DLL at load time,
# and a .def file that exports every name of the list.
function(korvid_forwarding_dll target)
  cmake_parse_arguments(ARG "" "DLL_NAME;EXPORTS" "OWN;SOURCES" ${ARGN})
  set_property(DIRECTORY APPEND PROPERTY CMAKE_CONFIGURE_DEPENDS ${ARG_EXPORTS})
  file(STRINGS ${ARG_EXPORTS} names)
  foreach(own IN LISTS ARG_OWN)
    if(NOT own IN_LIST names)
      message(FATAL_ERROR "${own} is not an export of ${ARG_DLL_NAME}.dll")
    endif()
  endforeach()

  set(thunks "")
  set(name_table "")
  set(def "LIBRARY ${ARG_DLL_NAME}.dll\nEXPORTS\n")
  set(index 0)
  foreach(name IN LISTS names)
    string(APPEND def "  ${name}\n")
    string(APPEND name_table "  \"${name}\",\n")
    if(NOT name IN_LIST ARG_OWN)
      math(EXPR offset "${index} * 8")
      string(APPEND thunks "    \".globl ${name}\\n\"\n    \"${name}: jmp *korvid_forward_table+${offset}(%rip)\\n\"\n")
    endif()
    math(EXPR index "${index} + 1")
  endforeach()

  set(dir ${CMAKE_CURRENT_BINARY_DIR}/${target})
  file(MAKE_DIRECTORY ${dir})
  file(CONFIGURE OUTPUT ${dir}/${ARG_DLL_NAME}.def CONTENT "${def}")
  file(CONFIGURE OUTPUT ${dir}/forward_table.cpp @ONLY CONTENT
"// Generated from ${ARG_EXPORTS} by forwarding.cmake.
#include \"system_forwarder.h\"

extern \"C\" {
const char* const korvid_forward_names[] = {
${name_table}};
const unsigned korvid_forward_count = ${index};
void* korvid_forward_table[${index}];
}

asm(\"    .text\\n\"
    \"    .p2align 4\\n\"
${thunks});
")

  add_library(${target} SHARED ${ARG_SOURCES} ${dir}/forward_table.cpp ${dir}/${ARG_DLL_NAME}.def
                               ${CMAKE_CURRENT_SOURCE_DIR}/system_forwarder.cpp)
  set_target_properties(${target} PROPERTIES PREFIX "" OUTPUT_NAME ${ARG_DLL_NAME})
  target_include_directories(${target} PRIVATE ${CMAKE_CURRENT_SOURCE_DIR})
  # Self-contained: no C++ runtime DLL to find beside it under Wine.
  target_link_options(${target} PRIVATE -static)
endfunction()
