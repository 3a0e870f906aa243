# Run by ctest: fails when an include runs against the direction of the
# dependencies between the folders of src/. Each folder may include itself
# and the folders listed for it here (system and library headers aside):
#
#   base/     nothing else of ours
#   net/      base/
#   sound/    base/
#   voice/    sound/, base/
#   session/  voice/, sound/, net/, base/
#   scene/    session/, net/, base/
#   app/      everything
#
# and nothing outside src/app/ includes app/ (only the tests of app/ do).
# Tests, benchmarks, fuzz targets and tools may use any folder but app/.
# No include climbs or names its own folder ("../session/session.h",
# "./x.h"): such a path would slip past the table above, and it breaks
# when a file moves.
# Usage: cmake -DSOURCE_DIR=<repository> -P CheckIncludes.cmake
set(folders app scene session voice sound net base)
set(allowed_base base)
set(allowed_net net base)
set(allowed_sound sound base)
set(allowed_voice voice sound base)
set(allowed_session session voice sound net base)
set(allowed_scene scene session net base)
set(allowed_app ${folders})

string(JOIN "|" ours ${folders})
file(GLOB_RECURSE files RELATIVE ${SOURCE_DIR}
     ${SOURCE_DIR}/src/*.h ${SOURCE_DIR}/src/*.hpp ${SOURCE_DIR}/src/*.cpp
     ${SOURCE_DIR}/bench/*.cpp ${SOURCE_DIR}/fuzz/*.cpp ${SOURCE_DIR}/tools/*.cpp ${SOURCE_DIR}/tools/*.h
     ${SOURCE_DIR}/tests/*.cpp ${SOURCE_DIR}/tests/*.h)
set(faults "")
foreach(file ${files})
  # src/NAME/ and its tests tests/NAME/ belong to folder NAME.
  set(folder "")
  set(inSource FALSE)
  if(file MATCHES "^(src|tests)/([^/]+)/")
    set(folder ${CMAKE_MATCH_2})
    if(CMAKE_MATCH_1 STREQUAL "src")
      set(inSource TRUE)
      if(NOT DEFINED allowed_${folder})
        list(APPEND faults "${file}: src/${folder}/ is no folder of the table in cmake/CheckIncludes.cmake")
        continue()
      endif()
    endif()
  endif()
  file(STRINGS ${SOURCE_DIR}/${file} lines REGEX "^[ \t]*#[ \t]*include")
  foreach(line IN LISTS lines)
    if(line MATCHES "^[ \t]*#[ \t]*include[ \t]*\"([^\"]+)\"")
      set(header ${CMAKE_MATCH_1})
    elseif(line MATCHES "^[ \t]*#[ \t]*include[ \t]*<([^>]+)>")
      set(header ${CMAKE_MATCH_1})
    else()
      continue()
    endif()
    if(header MATCHES "(^|/)\\.\\.?/")
      list(APPEND faults "${file}: includes ${header}, a relative path (name the header from src/, as in \"session/session.h\")")
      continue()
    endif()
    if(NOT header MATCHES "^(${ours})/")
      continue()
    endif()
    string(REGEX REPLACE "/.*" "" target ${header})
    if(target STREQUAL "app" AND NOT folder STREQUAL "app")
      list(APPEND faults "${file}: includes ${header}, but nothing outside src/app/ may include app/")
    elseif(inSource)
      list(FIND allowed_${folder} ${target} index)
      if(index EQUAL -1)
        string(JOIN ", " may ${allowed_${folder}})
        list(APPEND faults "${file}: includes ${header}, but ${folder}/ includes only ${may}")
      endif()
    endif()
  endforeach()
endforeach()
if(faults)
  string(JOIN "\n" text ${faults})
  message(FATAL_ERROR "include directions:\n${text}")
endif()
list(LENGTH files count)
message(STATUS "include directions: ${count} files checked")
