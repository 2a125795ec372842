# A Debian package of the install tree: `cpack -G DEB` in a build folder.
# Only what install() names goes in: the tools, the board's programs and
# the docs; tests, benchmarks and fuzz targets have no install rules.
set(VBOARD_PACKAGE_MAINTAINER "Virtual board tools developers <vboard-tools@example.invalid>"
    CACHE STRING "The package's Maintainer field")

set(CPACK_PACKAGE_NAME ${VBOARD_PACKAGE})
set(CPACK_PACKAGE_VERSION ${PROJECT_VERSION})
set(CPACK_PACKAGE_VENDOR "Virtual board tools developers")
set(CPACK_PACKAGE_DESCRIPTION_SUMMARY "Virtual Windows CE board for rehearsing image updates and autorun cards")
string(CONCAT CPACK_PACKAGE_DESCRIPTION
    "vboard makes virtual boards (a NOR flash pair, the HAL, file system, registry\n"
    "and mounted volumes) and runs the board's image update tool and autorun agent\n"
    "on them, operated from the terminal or by a script. mkbin writes binary OS\n"
    "images for tests and demos; inspectbin tells what the update tool would do\n"
    "with an image and whether a board's flash holds it.")
set(CPACK_GENERATOR DEB)
set(CPACK_STRIP_FILES ON)

set(CPACK_DEBIAN_PACKAGE_MAINTAINER ${VBOARD_PACKAGE_MAINTAINER})
set(CPACK_DEBIAN_PACKAGE_SECTION devel)
set(CPACK_DEBIAN_FILE_NAME DEB-DEFAULT)
# The binaries link the C and C++ runtimes only (everything else is ours,
# linked statically); dpkg-shlibdeps names their packages and versions.
set(CPACK_DEBIAN_PACKAGE_SHLIBDEPS ON)

include(CPack)
