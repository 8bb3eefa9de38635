# The version (v_MAJOR, v_MINOR, v_PATCH, v_BUILD), from the one place the
# programs' version resources take it.
file(STRINGS ${PROJECT_SOURCE_DIR}/common/version.h version_lines REGEX "^#define TARSEL_VERSION_(MAJOR|MINOR|PATCH|BUILD) ")
foreach(line IN LISTS version_lines)
  string(REGEX MATCH "TARSEL_VERSION_([A-Z]+) +([0-9]+)" _ "${line}")
  set(v_${CMAKE_MATCH_1} ${CMAKE_MATCH_2})
endforeach()
set_property(DIRECTORY APPEND PROPERTY CMAKE_CONFIGURE_DEPENDS ${PROJECT_SOURCE_DIR}/common/version.h)
