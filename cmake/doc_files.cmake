# The files installed beside the documentation, in the forms Debian asks for:
#   copyright_file  the LICENSE in the machine-readable copyright format
#   changelog_file  cmake/debian_changelog, gzipped (gzip -9 -n) as
#                   changelog.gz, for the version being built

# copyright: the holder and the terms of LICENSE, which stays the one text.
file(READ ${PROJECT_SOURCE_DIR}/LICENSE license)
if(NOT license MATCHES "Copyright \\(c\\) ([^\n]+)\n\n(.*[^\n])\n*$")
  message(FATAL_ERROR "LICENSE: no copyright line followed by the terms")
endif()
set(holder "${CMAKE_MATCH_1}")
# Each line of the terms indented by a space, an empty one written " .".
string(REPLACE "\n\n" "\n.\n" terms "${CMAKE_MATCH_2}")
string(REPLACE "\n" "\n " terms "${terms}")
set(copyright_file ${CMAKE_CURRENT_BINARY_DIR}/copyright)
file(CONFIGURE OUTPUT ${copyright_file} CONTENT
"Format: https://www.debian.org/doc/packaging-manuals/copyright-format/1.0/
Upstream-Name: propslice

Files: *
Copyright: ${holder}
License: BSD-2-Clause

License: BSD-2-Clause
 ${terms}
")
set_property(DIRECTORY APPEND PROPERTY CMAKE_CONFIGURE_DEPENDS ${PROJECT_SOURCE_DIR}/LICENSE)

# changelog.gz: its latest entry must be the version built.
file(STRINGS ${PROJECT_SOURCE_DIR}/cmake/debian_changelog latest LIMIT_COUNT 1)
if(NOT latest MATCHES "^propslice \\(${PROJECT_VERSION}\\) ")
  message(FATAL_ERROR "cmake/debian_changelog: the latest entry is not for ${PROJECT_VERSION}: ${latest}")
endif()
set_property(DIRECTORY APPEND PROPERTY CMAKE_CONFIGURE_DEPENDS
             ${PROJECT_SOURCE_DIR}/cmake/debian_changelog)
set(changelog_file ${CMAKE_CURRENT_BINARY_DIR}/changelog.gz)
add_custom_command(
  OUTPUT ${changelog_file}
  COMMAND ${CMAKE_COMMAND} -E copy ${PROJECT_SOURCE_DIR}/cmake/debian_changelog changelog
  COMMAND gzip -9 -n -f changelog
  DEPENDS cmake/debian_changelog
  WORKING_DIRECTORY ${CMAKE_CURRENT_BINARY_DIR}
  VERBATIM)
add_custom_target(changelog ALL DEPENDS ${changelog_file})
