# Builds one case of mistakes.cmake as a project of its own against the SDK and checks
# the SDK's answer. Run with -P and:
#   -DCASE=<name> -DWORK=<empty folder> -DSOURCE_DIR=<tree> -DBUILD_DIR=<its build>
#   -DPKGINFO=<pkginfo>
cmake_minimum_required(VERSION 3.25)

# A function, not a macro: a macro would read the texts' backslashes once more.
function(mistake name stage expected call source)
  if("${name}" STREQUAL "${CASE}")
    set(found_stage ${stage} PARENT_SCOPE)
    set(found_expected "${expected}" PARENT_SCOPE)
    set(found_call "${call}" PARENT_SCOPE)
    set(found_source "${source}" PARENT_SCOPE)
  endif()
endfunction()
include(${CMAKE_CURRENT_LIST_DIR}/mistakes.cmake)
if(NOT DEFINED found_stage)
  message(FATAL_ERROR "no case ${CASE} in mistakes.cmake")
endif()
string(ASCII 233 latin1)
string(REPLACE "@LATIN1@" "${latin1}" found_call "${found_call}")

file(REMOVE_RECURSE ${WORK})
file(MAKE_DIRECTORY ${WORK}/src)
file(WRITE ${WORK}/src/m.cpp "${found_source}")
file(WRITE ${WORK}/src/CMakeLists.txt "cmake_minimum_required(VERSION 3.25)
project(mistake CXX ASM)
set(CMAKE_CXX_STANDARD 20)
include(${SOURCE_DIR}/cmake/PackageSdk.cmake)
add_library(rtl SHARED IMPORTED)
set_target_properties(rtl PROPERTIES IMPORTED_LOCATION ${BUILD_DIR}/lib/librtl.so
  INTERFACE_INCLUDE_DIRECTORIES ${SOURCE_DIR}/platform/rtl/include)
${found_call}
")

execute_process(COMMAND ${CMAKE_COMMAND} -S ${WORK}/src -B ${WORK}/build -G Ninja
  RESULT_VARIABLE failed OUTPUT_VARIABLE out ERROR_VARIABLE out)
set(stage configure)
if(NOT failed)
  set(stage build)
  execute_process(COMMAND ${CMAKE_COMMAND} --build ${WORK}/build
    RESULT_VARIABLE failed OUTPUT_VARIABLE out ERROR_VARIABLE out)
endif()
file(GLOB built ${WORK}/build/lib*.so)
if(NOT failed)
  set(stage pkginfo)
  execute_process(COMMAND ${PKGINFO} ${built} RESULT_VARIABLE failed OUTPUT_VARIABLE out
    ERROR_VARIABLE out)
endif()
# The error's text is wrapped to the terminal's width: compared as one line.
string(REGEX REPLACE "[ \n]+" " " flat "${out}")
string(REGEX REPLACE "[ \n]+" " " expected "${found_expected}")
if(found_stage STREQUAL "pkginfo")
  string(REGEX MATCH "(^|\n)${found_expected}(\n|$)" hit "${out}")
else()
  string(REGEX MATCH "${expected}" hit "${flat}")
endif()
if(NOT stage STREQUAL found_stage OR NOT hit)
  message(FATAL_ERROR "${CASE}: expected at the ${found_stage} stage: ${found_expected}\n"
    "got at the ${stage} stage:\n${out}")
endif()
if(NOT found_stage STREQUAL "pkginfo" AND built)
  message(FATAL_ERROR "${CASE}: a failed build left ${built} behind")
endif()
message(STATUS "${CASE}: ${found_stage} says what it should")
