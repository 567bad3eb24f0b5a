# Builds one case of mistakes.cmake as a project of its own against the SDK installed
# from the build (its run-time library and SDK parts, into a prefix of the case's own)
# and checks the SDK's answer. Run with -P and:
#   -DCASE=<name> -DWORK=<empty folder> -DBUILD_DIR=<the build>
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
foreach(component rtl toolkit sdk workbench)
  execute_process(COMMAND ${CMAKE_COMMAND} --install ${BUILD_DIR} --prefix ${WORK}/prefix
                          --component ${component}
    RESULT_VARIABLE failed OUTPUT_QUIET ERROR_VARIABLE error)
  if(failed)
    message(FATAL_ERROR "${CASE}: cannot install the SDK: ${error}")
  endif()
endforeach()
file(WRITE ${WORK}/src/m.cpp "${found_source}")
file(WRITE ${WORK}/src/CMakeLists.txt "cmake_minimum_required(VERSION 3.25)
project(mistake CXX)
set(CMAKE_CXX_STANDARD 20)
find_package(PackageSdk REQUIRED)
${found_call}
")

execute_process(COMMAND ${CMAKE_COMMAND} -S ${WORK}/src -B ${WORK}/build -G Ninja
                        -DCMAKE_PREFIX_PATH=${WORK}/prefix
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
  execute_process(COMMAND ${WORK}/prefix/bin/pkginfo ${built} RESULT_VARIABLE failed OUTPUT_VARIABLE out
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
