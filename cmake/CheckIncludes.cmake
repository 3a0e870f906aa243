# Run by ctest: fails when an include runs against the direction of the
# dependencies between the folders of src/:
#   - app/ uses the rest and nothing includes app/ (only the tests of app/);
#   - net/ includes only net/ (system and library headers aside).
# Usage: cmake -DSOURCE_DIR=<repository> -P CheckIncludes.cmake
set(folders app net session voice sound scene)
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
    endif()
  endif()
  file(STRINGS ${SOURCE_DIR}/${file} lines REGEX "^[ \t]*#[ \t]*include")
  foreach(line IN LISTS lines)
    if(line MATCHES "^[ \t]*#[ \t]*include[ \t]*\"([^\"]+)\"")
      set(header ${CMAKE_MATCH_1})
    elseif(line MATCHES "^[ \t]*#[ \t]*include[ \t]*<((${ours})/[^>]+)>")
      set(header ${CMAKE_MATCH_1})
    else()
      continue()
    endif()
    if(header MATCHES "^app/" AND NOT folder STREQUAL "app")
      list(APPEND faults "${file}: includes ${header}, but nothing outside src/app/ may include app/")
    endif()
    if(inSource AND folder STREQUAL "net" AND NOT header MATCHES "^net/")
      list(APPEND faults "${file}: includes ${header}, but net/ includes only net/")
    endif()
  endforeach()
endforeach()
if(faults)
  string(JOIN "\n" text ${faults})
  message(FATAL_ERROR "include directions:\n${text}")
endif()
list(LENGTH files count)
message(STATUS "include directions: ${count} files checked")
