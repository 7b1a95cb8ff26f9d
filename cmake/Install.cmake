# What `cmake --install` puts where Debian expects it, and the Debian package
# that scripts/package.sh builds from it with CPack.
include(GNUInstallDirs)

set(DUXK_DATA ${CMAKE_SOURCE_DIR}/data)
set(DUXK_PROGRAMS duxk duxkupdate duxk-sensor-sim)
foreach(program ${DUXK_PROGRAMS})
  if(TARGET ${program})
    install(TARGETS ${program} RUNTIME DESTINATION ${CMAKE_INSTALL_BINDIR})
  endif()
endforeach()

# Manual pages from each program's --help (help2man), gzipped as Debian
# wants them. Built with the programs, so that the help and the page agree.
find_program(HELP2MAN help2man)
find_program(GZIP gzip)
# Not for sanitizer builds, which are for testing, not for installing.
if(NOT CMAKE_CROSSCOMPILING AND NOT DUXK_SANITIZE AND HELP2MAN AND GZIP)
  set(descriptions
    "duxk|service tool for DUX-Kxx sensors on a serial line"
    "duxkupdate|desktop service application for DUX-Kxx sensors"
    "duxk-sensor-sim|virtual DUX-K52 sensor on a pseudo-terminal")
  set(man_pages)
  foreach(entry ${descriptions})
    string(REPLACE "|" ";" parts "${entry}")
    list(GET parts 0 program)
    list(GET parts 1 description)
    if(NOT TARGET ${program})
      continue()
    endif()
    set(page ${CMAKE_BINARY_DIR}/man/${program}.1)
    add_custom_command(
      OUTPUT ${page}.gz
      COMMAND ${CMAKE_COMMAND} -E make_directory ${CMAKE_BINARY_DIR}/man
      COMMAND ${CMAKE_COMMAND} -E env "PATH=$<TARGET_FILE_DIR:${program}>:$ENV{PATH}" QT_QPA_PLATFORM=offscreen
              ${HELP2MAN} --no-info --no-discard-stderr --version-string=${PROJECT_VERSION}
              --name=${description} --include=${DUXK_DATA}/man/${program}.h2m --output=${page} ${program}
      COMMAND ${GZIP} -9nf ${page}
      DEPENDS ${program} ${DUXK_DATA}/man/${program}.h2m
      COMMENT "Manual page ${program}.1"
      VERBATIM)
    list(APPEND man_pages ${page}.gz)
  endforeach()
  add_custom_target(duxk_man_pages ALL DEPENDS ${man_pages})
  install(FILES ${man_pages} DESTINATION ${CMAKE_INSTALL_MANDIR}/man1)
else()
  message(STATUS "help2man or gzip not found: no manual pages")
endif()

install(FILES ${DUXK_DATA}/completion/duxk DESTINATION ${CMAKE_INSTALL_DATADIR}/bash-completion/completions)
if(TARGET duxkupdate)
  install(FILES ${DUXK_DATA}/duxkupdate.desktop DESTINATION ${CMAKE_INSTALL_DATADIR}/applications)
  install(FILES ${DUXK_DATA}/icons/duxkupdate.svg DESTINATION ${CMAKE_INSTALL_DATADIR}/icons/hicolor/scalable/apps)
  foreach(size 16 24 32 48 64 128 256)
    install(FILES ${DUXK_DATA}/icons/duxkupdate-${size}.png
            DESTINATION ${CMAKE_INSTALL_DATADIR}/icons/hicolor/${size}x${size}/apps RENAME duxkupdate.png)
  endforeach()
endif()

set(DUXK_MAINTAINER "DUXKUpdate developers <duxkupdate@example.org>" CACHE STRING
    "Maintainer of the Debian package (name <address>)")

# Debian's documentation files: copyright, and the changelog gzipped.
configure_file(${DUXK_DATA}/changelog.in ${CMAKE_BINARY_DIR}/doc/changelog @ONLY)
add_custom_command(
  OUTPUT ${CMAKE_BINARY_DIR}/doc/changelog.gz
  COMMAND ${GZIP} -9nkf ${CMAKE_BINARY_DIR}/doc/changelog
  DEPENDS ${CMAKE_BINARY_DIR}/doc/changelog
  VERBATIM)
add_custom_target(duxk_changelog ALL DEPENDS ${CMAKE_BINARY_DIR}/doc/changelog.gz)
install(FILES ${DUXK_DATA}/copyright ${CMAKE_BINARY_DIR}/doc/changelog.gz
        DESTINATION ${CMAKE_INSTALL_DATADIR}/doc/duxkupdate)

# The Debian package: scripts/package.sh runs CPack on this build.
set(CPACK_GENERATOR DEB)
set(CPACK_PACKAGE_NAME duxkupdate)
set(CPACK_PACKAGE_VERSION ${PROJECT_VERSION})
set(CPACK_PACKAGING_INSTALL_PREFIX /usr)
set(CPACK_STRIP_FILES ON)
set(CPACK_PACKAGE_DESCRIPTION_SUMMARY "service tools for DUX-Kxx serial-line sensors")
# The long description; CPack puts the summary above it as the synopsis.
set(CPACK_DEBIAN_PACKAGE_DESCRIPTION
  "Finds a DUX-Kxx sensor on a serial port, shows its specification,
settings, self-test and calibration listings, saves and loads its
calibration data and updates its firmware.

The package holds the desktop application duxkupdate, the command-line
tool duxk for scripted service work and production lines, and the
virtual sensor duxk-sensor-sim for trying both without hardware.")
set(CPACK_DEBIAN_PACKAGE_MAINTAINER "${DUXK_MAINTAINER}")
set(CPACK_DEBIAN_PACKAGE_SECTION electronics)
set(CPACK_DEBIAN_PACKAGE_PRIORITY optional)
set(CPACK_DEBIAN_PACKAGE_SHLIBDEPS ON)
set(CPACK_DEBIAN_FILE_NAME DEB-DEFAULT)
set(CPACK_DEBIAN_PACKAGE_CONTROL_STRICT_PERMISSION ON)
set(CPACK_PACKAGE_DIRECTORY ${CMAKE_BINARY_DIR}/package)
include(CPack)
