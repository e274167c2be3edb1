# Install rules and packages. Three kinds, each from its own preset, since
# one cpack run cannot give both kinds of link:
#   package-deb      .deb, linked dynamically as Debian expects (preset deb),
#                    and python3-curvedump where the Python module is built
#   package-tgz      .tar.gz, a statically linked tool (preset release)
#   package-windows  .zip, a statically linked curvedump.exe (preset release-windows)

set(CURVEDUMP_MAINTAINER "curvedump developers <curvedump@example.org>" CACHE STRING
  "Maintainer named in the .deb and its changelog; whoever publishes the package puts their own")

# The packages are reproducible: the same commit gives the same bytes
# whoever builds it, in whatever folder, under any umask, locale or time
# zone, on any file system (scripts/reproducible.sh checks this). Every
# timestamp in them is SOURCE_DATE_EPOCH, which is taken from the
# environment when set, else is the time of the source tree's last commit,
# else 1796688000 (2026-12-08 00:00:00 UTC, the date of the first release)
# with one warning here.
function(curvedump_source_date_epoch out)
  set(epoch "$ENV{SOURCE_DATE_EPOCH}")
  if(NOT epoch STREQUAL "")
    if(NOT epoch MATCHES "^[0-9]+$")
      message(FATAL_ERROR "SOURCE_DATE_EPOCH is '${epoch}', not a count of seconds since 1970")
    endif()
    set(${out} ${epoch} PARENT_SCOPE)
    return()
  endif()
  set(why "the source tree is not a git checkout")
  if(EXISTS ${CMAKE_CURRENT_SOURCE_DIR}/.git)
    find_package(Git QUIET)
    set(why "git was not found")
    if(Git_FOUND)
      execute_process(COMMAND ${GIT_EXECUTABLE} log -1 --no-show-signature --format=%ct
        WORKING_DIRECTORY ${CMAKE_CURRENT_SOURCE_DIR} OUTPUT_VARIABLE epoch ERROR_VARIABLE why
        OUTPUT_STRIP_TRAILING_WHITESPACE ERROR_STRIP_TRAILING_WHITESPACE)
    endif()
  endif()
  if(NOT epoch MATCHES "^[0-9]+$")
    set(epoch 1796688000)
    message(WARNING "SOURCE_DATE_EPOCH is not set and the time of the last commit is not "
      "known (${why}): the packages' timestamps are ${epoch}, 2026-12-08 00:00:00 UTC")
  endif()
  set(${out} ${epoch} PARENT_SCOPE)
endfunction()
curvedump_source_date_epoch(CURVEDUMP_SOURCE_DATE_EPOCH)

# The pages the README links to go beside it, where the README goes.
file(GLOB user_docs ${CMAKE_CURRENT_SOURCE_DIR}/docs/*.md)
list(SORT user_docs)

if(CURVEDUMP_DEBIAN)
  # Debian wants the man page and the changelog compressed, without a
  # timestamp, and the licence as /usr/share/doc/curvedump/copyright.
  find_program(CURVEDUMP_GZIP gzip REQUIRED)
  configure_file(packaging/debian/changelog.in changelog @ONLY)
  set(man_gz ${CMAKE_CURRENT_BINARY_DIR}/curvedump.1.gz)
  set(changelog_gz ${CMAKE_CURRENT_BINARY_DIR}/changelog.gz)
  add_custom_command(OUTPUT ${man_gz}
    COMMAND ${CURVEDUMP_GZIP} -9nc ${CMAKE_CURRENT_SOURCE_DIR}/man/curvedump.1 > ${man_gz}
    DEPENDS man/curvedump.1 VERBATIM)
  add_custom_command(OUTPUT ${changelog_gz}
    COMMAND ${CURVEDUMP_GZIP} -9nc ${CMAKE_CURRENT_BINARY_DIR}/changelog > ${changelog_gz}
    DEPENDS ${CMAKE_CURRENT_BINARY_DIR}/changelog VERBATIM)
  add_custom_target(debian_files ALL DEPENDS ${man_gz} ${changelog_gz})
  install(TARGETS curvedump RUNTIME DESTINATION ${CMAKE_INSTALL_BINDIR} COMPONENT tool)
  install(FILES ${man_gz} DESTINATION ${CMAKE_INSTALL_MANDIR}/man1 COMPONENT tool)
  install(FILES packaging/debian/copyright ${changelog_gz} DESTINATION ${CMAKE_INSTALL_DOCDIR}
    COMPONENT tool)
  if(TARGET curvedump_python)
    install(FILES packaging/debian/copyright ${changelog_gz}
      DESTINATION ${CMAKE_INSTALL_DATAROOTDIR}/doc/python3-curvedump COMPONENT python)
  endif()
elseif(WIN32)
  # One folder to unzip: the program, the README, the licence, and the man
  # page rendered as a web page (Windows has no man).
  install(TARGETS curvedump RUNTIME DESTINATION . COMPONENT tool)
  if(MINGW)
    # The linker stamps the executable's header with SOURCE_DATE_EPOCH when
    # that is set, else with the time of the link.
    set_property(TARGET curvedump PROPERTY CXX_LINKER_LAUNCHER
      ${CMAKE_COMMAND} -E env SOURCE_DATE_EPOCH=${CURVEDUMP_SOURCE_DATE_EPOCH})
  endif()
  install(FILES README.md LICENSE DESTINATION . COMPONENT tool)
  install(FILES ${user_docs} DESTINATION docs COMPONENT tool)
  find_program(CURVEDUMP_MANDOC mandoc)
  if(CURVEDUMP_MANDOC)
    set(man_html ${CMAKE_CURRENT_BINARY_DIR}/curvedump.html)
    add_custom_command(OUTPUT ${man_html}
      COMMAND ${CURVEDUMP_MANDOC} -T html ${CMAKE_CURRENT_SOURCE_DIR}/man/curvedump.1 > ${man_html}
      DEPENDS man/curvedump.1 VERBATIM)
    add_custom_target(man_html ALL DEPENDS ${man_html})
    install(FILES ${man_html} DESTINATION . COMPONENT tool)
  else()
    message(WARNING "mandoc not found: the man page is left out of the Windows package")
  endif()
else()
  install(TARGETS curvedump RUNTIME DESTINATION ${CMAKE_INSTALL_BINDIR} COMPONENT tool)
  install(FILES man/curvedump.1 DESTINATION ${CMAKE_INSTALL_MANDIR}/man1 COMPONENT tool)
  install(FILES LICENSE README.md DESTINATION ${CMAKE_INSTALL_DOCDIR} COMPONENT tool)
  install(FILES ${user_docs} DESTINATION ${CMAKE_INSTALL_DOCDIR}/docs COMPONENT tool)
endif()

set(CPACK_PACKAGE_NAME curvedump)
set(CPACK_PACKAGE_VENDOR "the curvedump developers")
set(CPACK_PACKAGE_CONTACT "${CURVEDUMP_MAINTAINER}")
# Each .deb's description: a synopsis line, then the long description.
set(CPACK_PACKAGE_DESCRIPTION "\
curvedump reads a small binary data file holding two series of 32-bit
floating-point values, scales every value by the factor and offset stored
in the file's header, and writes the pairs as a two-column text file beside
the input. The text is the same to the byte on every platform: CR LF line
ends, a point as decimal separator, correctly rounded digits.")
set(CPACK_RESOURCE_FILE_LICENSE ${CMAKE_CURRENT_SOURCE_DIR}/LICENSE)
set(CPACK_STRIP_FILES ON)
string(TOLOWER "${CMAKE_SYSTEM_NAME}" system)
set(CPACK_PACKAGE_FILE_NAME "curvedump-${PROJECT_VERSION}-${system}-${CMAKE_SYSTEM_PROCESSOR}")
if(CURVEDUMP_DEBIAN)
  set(CPACK_GENERATOR DEB)
elseif(WIN32)
  set(CPACK_GENERATOR ZIP)
else()
  set(CPACK_GENERATOR TGZ)
endif()

# One .deb per component: curvedump, and python3-curvedump for the module.
set(CPACK_DEB_COMPONENT_INSTALL ON)
set(CPACK_DEBIAN_FILE_NAME DEB-DEFAULT)
set(CPACK_DEBIAN_PACKAGE_SOURCE curvedump)
set(CPACK_DEBIAN_PACKAGE_SHLIBDEPS ON)
set(CPACK_DEBIAN_TOOL_PACKAGE_NAME curvedump)
set(CPACK_DEBIAN_TOOL_PACKAGE_SECTION utils)
set(CPACK_DEBIAN_TOOL_DESCRIPTION
  "convert binary files of two float series to two-column text\n${CPACK_PACKAGE_DESCRIPTION}")
if(TARGET curvedump_python)
  set(CPACK_DEBIAN_PYTHON_PACKAGE_NAME python3-curvedump)
  set(CPACK_DEBIAN_PYTHON_PACKAGE_SECTION python)
  # Built for this interpreter's version only.
  math(EXPR next_minor "${Python3_VERSION_MINOR} + 1")
  set(CPACK_DEBIAN_PYTHON_PACKAGE_DEPENDS "python3 (>= ${Python3_VERSION_MAJOR}.${Python3_VERSION_MINOR}), \
python3 (<< ${Python3_VERSION_MAJOR}.${next_minor}), python3-numpy")
  # DataFrames (to_pandas, read_frame) and curvedump.dask.
  set(CPACK_DEBIAN_PYTHON_PACKAGE_SUGGESTS "python3-pandas, python3-dask, python3-distributed")
  set(CPACK_DEBIAN_PYTHON_DESCRIPTION "exact values of curvedump data files in Python
The Python module curvedump reads the binary data files that the curvedump
tool converts, and gives both series as numpy float32 arrays holding exactly
the values the tool computes, from the same decoding and scaling code. It
also gives the tool's text and console lines, and converts files as the tool
does.")
endif()

# cpack reads cmake/cpack_project.cmake before each generator runs: it puts
# the epoch above and UTC in cpack's environment.
set(CPACK_CURVEDUMP_SOURCE_DATE_EPOCH ${CURVEDUMP_SOURCE_DATE_EPOCH})
set(CPACK_PROJECT_CONFIG_FILE ${CMAKE_CURRENT_SOURCE_DIR}/cmake/cpack_project.cmake)
# Then it packs every package again, so that the bytes do not depend on the
# file system, the user or the umask (see cmake/repack.cmake).
set(CPACK_POST_BUILD_SCRIPTS ${CMAKE_CURRENT_SOURCE_DIR}/cmake/repack.cmake)

include(CPack)
cpack_add_component(tool DISPLAY_NAME "curvedump")
if(TARGET curvedump_python)
  cpack_add_component(python DISPLAY_NAME "Python module")
endif()
