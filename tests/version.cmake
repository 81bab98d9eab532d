# Fails unless the tool carries "@(#)propslice VERSION" (for what(1) and
# strings(1)), the man page's footer names "propslice VERSION" and the
# latest entry of CHANGELOG.md is VERSION.
#
#   cmake -DVERSION=1.0.0 -DTOOL=build/propslice -DSOURCE=. -P tests/version.cmake
cmake_minimum_required(VERSION 3.20)
file(STRINGS "${TOOL}" carried REGEX "^@\\(#\\)propslice ")
if(NOT carried STREQUAL "@(#)propslice ${VERSION}")
  message(FATAL_ERROR "${TOOL} carries '${carried}', not '@(#)propslice ${VERSION}'")
endif()
file(STRINGS "${SOURCE}/doc/propslice.1" title REGEX "^\\.TH ")
if(NOT title MATCHES "^\\.TH PROPSLICE 1 [0-9-]+ \"propslice ([^\"]*)\"")
  message(FATAL_ERROR "doc/propslice.1: no version in its title line: ${title}")
endif()
if(NOT CMAKE_MATCH_1 STREQUAL VERSION)
  message(FATAL_ERROR "doc/propslice.1 is for ${CMAKE_MATCH_1}, not ${VERSION}")
endif()
file(STRINGS "${SOURCE}/CHANGELOG.md" latest REGEX "^## " LIMIT_COUNT 1)
if(NOT latest MATCHES "^## ${VERSION} - ")
  message(FATAL_ERROR "CHANGELOG.md: the latest entry is not ${VERSION}: ${latest}")
endif()
