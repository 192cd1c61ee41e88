# What `cmake --install` puts where, and the packages CPack makes of it.
#
# Linux: the programs in bin/, their manual pages (gzipped, as Debian keeps
# them) in share/man/man1/, the README and the example alert rules in
# share/doc/varno/ with the copyright file and the changelog (cmake/deb/), and
# lintian's overrides; packaged as a .deb (dependencies from dpkg-shlibdeps)
# and a .tar.gz.
# Windows: the programs and the README at the top, the manual pages as HTML
# in man/ and the example alert rules in contrib/prometheus/, packaged as a
# ZIP and as an MSI (cmake/msi/build-msi.cmake, with wixl) that installs them
# under Program Files and puts that folder on the PATH.
include(GNUInstallDirs)

set(VARNO_PROGRAMS varno-analyze varno-inspect varno-reg varno-storegen)
set(CPACK_PACKAGE_CONTACT "Var-No store tools <store-tools@varno.invalid>")

if(WIN32)
  install(TARGETS ${VARNO_PROGRAMS} RUNTIME DESTINATION .)
  install(FILES README.md DESTINATION .)
  # The manual pages for readers without man: HTML, each linking the others
  # it names by their file in the same folder (mandoc looks for the page's
  # source in its working folder) and a system page such as flock(2) on the
  # web.
  find_program(VARNO_MANDOC mandoc REQUIRED)
  set(pages)
  foreach(program IN LISTS VARNO_PROGRAMS)
    set(page ${CMAKE_BINARY_DIR}/man/${program}.html)
    add_custom_command(OUTPUT ${page}
      COMMAND ${CMAKE_COMMAND} -E make_directory ${CMAKE_BINARY_DIR}/man
      COMMAND ${VARNO_MANDOC} -T html -O "man=%N.html;https://manpages.debian.org/%N.%S"
              ${program}.1 > ${page}
      WORKING_DIRECTORY ${PROJECT_SOURCE_DIR}/man
      DEPENDS ${PROJECT_SOURCE_DIR}/man/${program}.1
      VERBATIM)
    list(APPEND pages ${page})
  endforeach()
  add_custom_target(varno_manpages ALL DEPENDS ${pages})
  install(FILES ${pages} DESTINATION man)
  install(FILES contrib/prometheus/varno-store.rules.yml DESTINATION contrib/prometheus)
else()
  install(TARGETS ${VARNO_PROGRAMS} RUNTIME DESTINATION ${CMAKE_INSTALL_BINDIR})
  find_program(VARNO_GZIP gzip REQUIRED)
  set(pages)
  foreach(program IN LISTS VARNO_PROGRAMS)
    set(page ${CMAKE_BINARY_DIR}/man/${program}.1.gz)
    # -n: no name or time stamp inside, so the same page gives the same bytes.
    add_custom_command(OUTPUT ${page}
      COMMAND ${CMAKE_COMMAND} -E make_directory ${CMAKE_BINARY_DIR}/man
      COMMAND ${VARNO_GZIP} -9nc ${PROJECT_SOURCE_DIR}/man/${program}.1 > ${page}
      DEPENDS ${PROJECT_SOURCE_DIR}/man/${program}.1
      VERBATIM)
    list(APPEND pages ${page})
  endforeach()
  add_custom_target(varno_manpages ALL DEPENDS ${pages})
  install(FILES ${pages} DESTINATION ${CMAKE_INSTALL_MANDIR}/man1)
  install(FILES README.md DESTINATION ${CMAKE_INSTALL_DOCDIR})
  install(FILES contrib/prometheus/varno-store.rules.yml
          DESTINATION ${CMAKE_INSTALL_DOCDIR}/examples)

  # What Debian's policy asks beside the programs: the copyright file in its
  # machine-readable form, and the changelog, gzipped under the name a
  # package with a Debian revision gives it.
  configure_file(cmake/deb/copyright.in ${CMAKE_BINARY_DIR}/deb/copyright @ONLY)
  set(changelog ${CMAKE_BINARY_DIR}/deb/changelog.Debian.gz)
  add_custom_command(OUTPUT ${changelog}
    COMMAND ${VARNO_GZIP} -9nc ${PROJECT_SOURCE_DIR}/cmake/deb/changelog > ${changelog}
    DEPENDS ${PROJECT_SOURCE_DIR}/cmake/deb/changelog
    VERBATIM)
  add_custom_target(varno_changelog ALL DEPENDS ${changelog})
  install(FILES ${CMAKE_BINARY_DIR}/deb/copyright ${changelog}
          DESTINATION ${CMAKE_INSTALL_DOCDIR})
  install(FILES cmake/deb/lintian-overrides DESTINATION ${CMAKE_INSTALL_DATAROOTDIR}/lintian/overrides
          RENAME varno)
  # A stripped install (the packages) also loses the compilers' .comment
  # notes, as dh_strip takes them out of a Debian package.
  foreach(program IN LISTS VARNO_PROGRAMS)
    install(CODE "if(CMAKE_INSTALL_DO_STRIP)
      execute_process(COMMAND \"${CMAKE_OBJCOPY}\" --remove-section=.comment
        \"\$ENV{DESTDIR}\${CMAKE_INSTALL_PREFIX}/${CMAKE_INSTALL_BINDIR}/${program}\"
        COMMAND_ERROR_IS_FATAL ANY)
    endif()")
  endforeach()
endif()

# The monitoring job, ready to enable: the alert rules with their unit test;
# on Linux the systemd service and timer (not enabled: the store folder is
# the operator's to set), its ExecStart naming the programs' folder of the
# install being made (/usr/bin in the .deb, /usr/local/bin by default); on
# Windows the scheduled task's definition.
if(WIN32)
  install(FILES contrib/prometheus/varno-store.rules.test.yml DESTINATION contrib/prometheus)
  install(FILES contrib/windows/varno-store-metrics.xml DESTINATION contrib/windows)
else()
  install(FILES contrib/prometheus/varno-store.rules.test.yml
          DESTINATION ${CMAKE_INSTALL_DOCDIR}/examples)
  set(VARNO_UNIT ${CMAKE_BINARY_DIR}/contrib/varno-store-metrics.service)
  install(CODE "
    set(VARNO_BINDIR \"\${CMAKE_INSTALL_PREFIX}/${CMAKE_INSTALL_BINDIR}\")
    configure_file(\"${PROJECT_SOURCE_DIR}/contrib/systemd/varno-store-metrics.service.in\"
                   \"${VARNO_UNIT}\" @ONLY)")
  install(FILES ${VARNO_UNIT} contrib/systemd/varno-store-metrics.timer
          DESTINATION lib/systemd/system)
endif()

set(CPACK_PACKAGE_NAME varno)
set(CPACK_PACKAGE_VENDOR Quellmark)
set(CPACK_PACKAGE_DESCRIPTION_SUMMARY "Store file tools of the Var-No store-and-forward service")
# Lines of at most 80 characters, as a Debian package's description wants.
set(CPACK_PACKAGE_DESCRIPTION
    "varno-analyze inspects a store file from a menu and resets its forward\n\
pointer. varno-inspect checks, lists, monitors (Prometheus text) and\n\
salvages store files for scripts. varno-storegen writes store files with\n\
known content. varno-reg changes the service's registry settings.")
set(CPACK_PACKAGE_FILE_NAME "varno-${PROJECT_VERSION}-${CMAKE_SYSTEM_NAME}-${CMAKE_SYSTEM_PROCESSOR}")
set(CPACK_INCLUDE_TOPLEVEL_DIRECTORY ON)

if(WIN32)
  set(CPACK_GENERATOR ZIP External)
  set(CPACK_EXTERNAL_ENABLE_STAGING ON)
  set(CPACK_EXTERNAL_PACKAGE_SCRIPT ${CMAKE_CURRENT_LIST_DIR}/msi/build-msi.cmake)
  set(CPACK_VARNO_MSI_SOURCES ${CMAKE_CURRENT_LIST_DIR}/msi)
  # The one identity of the product across versions: a newer MSI with this
  # code removes the installed older one. Never change it.
  set(CPACK_VARNO_MSI_UPGRADE_CODE A843E179-2234-4907-B312-D91312B8BE74)
  # The version every program's version resource carries (FILEVERSION), for
  # the MSI's File table; a package built with another CPACK_PACKAGE_VERSION
  # still holds these files.
  set(CPACK_VARNO_FILE_VERSION
      ${PROJECT_VERSION_MAJOR}.${PROJECT_VERSION_MINOR}.${PROJECT_VERSION_PATCH}.0)
else()
  set(CPACK_GENERATOR DEB TGZ)
  set(CPACK_STRIP_FILES ON)
  set(CPACK_DEBIAN_FILE_NAME DEB-DEFAULT)
  set(CPACK_DEBIAN_PACKAGE_SECTION utils)
  # The first packaging of this release: varno_1.0.0-1_amd64.deb.
  set(CPACK_DEBIAN_PACKAGE_RELEASE 1)
  set(CPACK_DEBIAN_PACKAGE_SHLIBDEPS ON)
endif()
include(CPack)
