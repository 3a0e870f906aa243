# Run by ctest: the include check (CheckIncludes.cmake) on small trees of
# one file each, so that each rule is seen to refuse what it names and to
# let a good include through. Each case: the file, its include line, and
# what the check must say ("" for a pass).
# Usage: cmake -DSOURCE_DIR=<repository> -DWORK_DIR=<scratch folder> -P CheckIncludesCases.cmake
cmake_minimum_required(VERSION 3.16)
set(cases
  "src/net/relative.cpp|#include \"../session/session.h\"|relative path"
  "src/net/angled.cpp|#include <../session/session.h>|relative path"
  "tests/net/here_test.cpp|#include \"./nettestutil.h\"|relative path"
  "src/net/upward.cpp|#include \"session/session.h\"|net/ includes only net, base"
  "src/scene/app.cpp|#include \"app/app.h\"|nothing outside src/app/ may include app/"
  "src/scene/downward.cpp|#include \"session/session.h\"|")

set(failed "")
set(index 0)
foreach(case IN LISTS cases)
  string(REPLACE "|" ";" fields "${case}")
  list(GET fields 0 file)
  list(GET fields 1 line)
  list(LENGTH fields count)
  set(expected "")
  if(count GREATER 2)
    list(GET fields 2 expected)
  endif()
  math(EXPR index "${index} + 1")
  set(tree ${WORK_DIR}/case${index})
  file(REMOVE_RECURSE ${tree})
  file(WRITE ${tree}/${file} "${line}\n")
  execute_process(COMMAND ${CMAKE_COMMAND} -DSOURCE_DIR=${tree} -P ${SOURCE_DIR}/cmake/CheckIncludes.cmake
                  RESULT_VARIABLE result OUTPUT_VARIABLE out ERROR_VARIABLE err)
  # The check wraps its long lines: compare on one line.
  string(REGEX REPLACE "[ \t\r\n]+" " " said "${out}${err}")
  if(expected STREQUAL "")
    if(NOT result EQUAL 0)
      list(APPEND failed "${file} with ${line} was refused: ${said}")
    endif()
  elseif(result EQUAL 0)
    list(APPEND failed "${file} with ${line} passed, but the check should say \"${expected}\"")
  else()
    string(FIND "${said}" "${file}: includes" named)
    string(FIND "${said}" "${expected}" where)
    if(named EQUAL -1 OR where EQUAL -1)
      list(APPEND failed "${file} with ${line} was refused, but not with \"${expected}\": ${said}")
    endif()
  endif()
endforeach()
file(REMOVE_RECURSE ${WORK_DIR})
if(failed)
  string(JOIN "\n" text ${failed})
  message(FATAL_ERROR "include check cases:\n${text}")
endif()
list(LENGTH cases count)
message(STATUS "include check cases: ${count} cases as expected")
