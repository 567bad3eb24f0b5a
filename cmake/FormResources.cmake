# Window descriptions embedded in a binary.
#
#   add_form_resources(<target> FILES <file>...)
#
# Each file is turned, at build time, into a C++ source that registers its text with
# the toolkit under the upper-case name of the class its root object is of (a file
# starting "TForm1 Form1 {" becomes "TFORM1"), so a form class finds its description
# by its own name. The source is compiled into <target>; registration runs from a
# static initialiser and cannot fail. Use it on an executable or a shared library: a
# static library's linker may drop the object, and the description with it.
#
# Run as a script (cmake -P) it generates one such source:
#   -DFORM_FILE=<file> -DFORM_DISPLAY_NAME=<name in messages> -DOUTPUT=<source>

include_guard(GLOBAL)

function(add_form_resources target)
  cmake_parse_arguments(F "" "" "FILES" ${ARGN})
  if(NOT TARGET ${target})
    message(FATAL_ERROR "add_form_resources: ${target} is not a target")
  endif()
  if(NOT F_FILES)
    message(FATAL_ERROR "add_form_resources(${target}): no FILES given")
  endif()
  set(script ${CMAKE_CURRENT_FUNCTION_LIST_FILE})
  foreach(file ${F_FILES})
    get_filename_component(path ${file} ABSOLUTE)
    get_filename_component(stem ${file} NAME_WE)
    get_filename_component(display ${file} NAME)
    set(out ${CMAKE_CURRENT_BINARY_DIR}/form_resources/${target}_${stem}_form.cpp)
    add_custom_command(
      OUTPUT ${out}
      COMMAND ${CMAKE_COMMAND} -DFORM_FILE=${path} -DFORM_DISPLAY_NAME=${display}
              -DOUTPUT=${out} -P ${script}
      DEPENDS ${path} ${script}
      COMMENT "Embedding the window description ${display}"
      VERBATIM)
    target_sources(${target} PRIVATE ${out})
  endforeach()
  target_link_libraries(${target} PRIVATE toolkit)
endfunction()

if(CMAKE_SCRIPT_MODE_FILE AND CMAKE_SCRIPT_MODE_FILE STREQUAL CMAKE_CURRENT_LIST_FILE)
  if(NOT FORM_FILE OR NOT OUTPUT)
    message(FATAL_ERROR "FormResources.cmake: FORM_FILE and OUTPUT are required")
  endif()
  file(READ ${FORM_FILE} text)
  # The root object: the first "ClassName ObjectName {" after comments.
  string(REGEX REPLACE "//[^\n]*" "" code "${text}")
  string(REGEX MATCH "^[^A-Za-z_]*([A-Za-z_][A-Za-z0-9_]*)[ \t\r\n]+[A-Za-z_][A-Za-z0-9_]*[ \t\r\n]*{"
         head "${code}")
  if(NOT head)
    message(FATAL_ERROR "${FORM_FILE}: a window description starts with its root object, "
                        "e.g. \"TForm1 Form1 {\"")
  endif()
  string(TOUPPER "${CMAKE_MATCH_1}" resource)
  file(READ ${FORM_FILE} hex HEX)
  string(LENGTH "${hex}" hexlen)
  math(EXPR size "${hexlen} / 2")
  string(REGEX REPLACE "([0-9a-f][0-9a-f])" "'\\\\x\\1'," bytes "${hex}")
  # Lines of reasonable length for the compiler's sake.
  string(REGEX REPLACE "(('\\\\x[0-9a-f][0-9a-f]',){16})" "\\1\n    " bytes "${bytes}")
  set(symbol "${resource}")
  file(WRITE ${OUTPUT}.tmp "// Generated from ${FORM_DISPLAY_NAME}: do not edit.
#include <string_view>

#include \"toolkit/forms.h\"

namespace {

const char text[] = {
    ${bytes}'\\0'};

struct Register${symbol} {
  Register${symbol}() {
    toolkit::RegisterFormResource(\"${resource}\", \"${FORM_DISPLAY_NAME}\",
                                  std::string_view(text, ${size}));
  }
} register${symbol};

}  // namespace
")
  file(COPY_FILE ${OUTPUT}.tmp ${OUTPUT} ONLY_IF_DIFFERENT)
  file(REMOVE ${OUTPUT}.tmp)
endif()
