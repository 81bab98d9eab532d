# `cpack -G DEB` in the build directory makes propslice_<version>_<arch>.deb
# from the install rules: /usr/bin/propslice, the man page, gzipped as
# Debian ships man pages, the completions and the copyright and changelog. Its dependencies are those of the binary, found by
# dpkg-shlibdeps (package dpkg-dev), so the package installs only where the
# C and C++ libraries it was built against are there.

set(CPACK_GENERATOR DEB)
set(CPACK_PACKAGE_NAME propslice)
set(CPACK_PACKAGE_VERSION ${PROJECT_VERSION})
set(CPACK_PACKAGE_DESCRIPTION_SUMMARY
    "split multi-property ZELK2 model files into single-property files")
# The long description; without it CPack would fill in a generic text of its own.
string(CONCAT CPACK_PACKAGE_DESCRIPTION
    "propslice writes one output file per property line (a line holding the\n"
    "bytes bad) of a ZELK2 model, each keeping all the shared lines, so that\n"
    "every property of a large model can be checked on its own.")
# Both set when configuring: -DPROPSLICE_MAINTAINER="Name <address>"
# (also the changelog's signature) and -DPROPSLICE_HOMEPAGE=URL.
set(CPACK_DEBIAN_PACKAGE_MAINTAINER "${PROPSLICE_MAINTAINER}")
if(PROPSLICE_HOMEPAGE)
  set(CPACK_DEBIAN_PACKAGE_HOMEPAGE "${PROPSLICE_HOMEPAGE}")
endif()
set(CPACK_DEBIAN_FILE_NAME DEB-DEFAULT)
set(CPACK_DEBIAN_PACKAGE_SECTION utils)
set(CPACK_DEBIAN_PACKAGE_PRIORITY optional)
set(CPACK_DEBIAN_PACKAGE_SHLIBDEPS ON)
set(CPACK_STRIP_FILES ON)
include(CPack)
