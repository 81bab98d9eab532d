# The files installed beside the documentation, in the forms Debian asks for:
#   copyright_file  the LICENSE in the machine-readable copyright format
#   changelog_file  CHANGELOG.md in Debian's changelog format, gzipped
#                   (gzip -9 -n) as changelog.gz, for the version being built

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

# changelog.gz: the Debian form of CHANGELOG.md, whose latest entry must be
# the version built. Each entry "## VERSION - YYYY-MM-DD" and its items
# ("- " lines, continued by lines indented by two spaces) becomes one entry
# signed by PROPSLICE_MAINTAINER at noon UTC of its date.
file(READ ${PROJECT_SOURCE_DIR}/CHANGELOG.md changes)
set_property(DIRECTORY APPEND PROPERTY CMAKE_CONFIGURE_DEPENDS ${PROJECT_SOURCE_DIR}/CHANGELOG.md)
string(FIND "${changes}" "\n## " start)
if(start EQUAL -1)
  message(FATAL_ERROR "CHANGELOG.md: no entry")
endif()
math(EXPR start "${start} + 1")
string(SUBSTRING "${changes}" ${start} -1 changes)
set(weekdays Sun Mon Tue Wed Thu Fri Sat)
set(months Jan Feb Mar Apr May Jun Jul Aug Sep Oct Nov Dec)
set(month_offsets 0 3 2 5 0 3 5 1 4 6 2 4)
set(debian_changelog "")
set(first_entry TRUE)
while(NOT changes STREQUAL "")
  # One entry: its heading line and the text up to the next heading.
  string(FIND "${changes}" "\n## " next)
  if(next EQUAL -1)
    set(entry "${changes}")
    set(changes "")
  else()
    string(SUBSTRING "${changes}" 0 ${next} entry)
    math(EXPR next "${next} + 1")
    string(SUBSTRING "${changes}" ${next} -1 changes)
  endif()
  if(NOT entry MATCHES "^## ([0-9]+\\.[0-9]+\\.[0-9]+) - ([0-9][0-9][0-9][0-9])-([0-9][0-9])-([0-9][0-9])\n+(- .*[^\n])\n*$")
    string(REGEX MATCH "^[^\n]*" heading "${entry}")
    message(FATAL_ERROR "CHANGELOG.md: not a heading '## VERSION - YYYY-MM-DD' followed by items: ${heading}")
  endif()
  set(version ${CMAKE_MATCH_1})
  set(year ${CMAKE_MATCH_2})
  math(EXPR month "${CMAKE_MATCH_3}")
  math(EXPR day "${CMAKE_MATCH_4}")
  set(items "${CMAKE_MATCH_5}")
  if(first_entry AND NOT version STREQUAL PROJECT_VERSION)
    message(FATAL_ERROR "CHANGELOG.md: the latest entry is ${version}, not ${PROJECT_VERSION}")
  endif()
  set(first_entry FALSE)
  # The day of the week (Sakamoto's method).
  math(EXPR offset_index "${month} - 1")
  list(GET month_offsets ${offset_index} offset)
  list(GET months ${offset_index} month_name)
  set(y ${year})
  if(month LESS 3)
    math(EXPR y "${y} - 1")
  endif()
  math(EXPR weekday "(${y} + ${y} / 4 - ${y} / 100 + ${y} / 400 + ${offset} + ${day}) % 7")
  list(GET weekdays ${weekday} weekday_name)
  if(day LESS 10)
    set(day "0${day}")
  endif()
  string(REGEX REPLACE "\n  " "\n    " items "${items}")
  string(REGEX REPLACE "(^|\n)- " "\\1  * " items "${items}")
  string(APPEND debian_changelog "propslice (${version}) unstable; urgency=medium\n\n${items}\n\n"
         " -- ${PROPSLICE_MAINTAINER}  ${weekday_name}, ${day} ${month_name} ${year} 12:00:00 +0000\n\n")
endwhile()
string(REGEX REPLACE "\n\n$" "\n" debian_changelog "${debian_changelog}")
file(WRITE ${CMAKE_CURRENT_BINARY_DIR}/debian_changelog "${debian_changelog}")
set(changelog_file ${CMAKE_CURRENT_BINARY_DIR}/changelog.gz)
add_custom_command(
  OUTPUT ${changelog_file}
  COMMAND gzip -9 -n -c debian_changelog > changelog.gz
  DEPENDS ${CMAKE_CURRENT_BINARY_DIR}/debian_changelog
  WORKING_DIRECTORY ${CMAKE_CURRENT_BINARY_DIR}
  VERBATIM)
add_custom_target(changelog ALL DEPENDS ${changelog_file})
