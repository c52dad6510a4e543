# The Debian package: the program, both units, the example configuration as a
# conffile, man pages made from the Markdown docs (zentok.ini(5) has the alarm
# line's settings of docs/alarms.md and ends with the example configuration),
# the documentation and lintian's overrides.
# Build it with "cpack -G DEB" in the build directory (see docs/packaging.md).
include(GNUInstallDirs)
# Packaging builds only what it installs (scripts/package names the targets).
set(CMAKE_SKIP_INSTALL_ALL_DEPENDENCY TRUE)

set(ZENTOK_PACKAGING_DIR ${CMAKE_SOURCE_DIR}/packaging)
set(ZENTOK_GENERATED_DIR ${CMAKE_BINARY_DIR}/packaging)
file(MAKE_DIRECTORY ${ZENTOK_GENERATED_DIR})

# Man pages, compressed as Debian wants them. The date comes from the
# changelog, so the same sources give the same pages.
find_program(PANDOC pandoc)
find_program(GZIP gzip)
if(PANDOC AND GZIP)
  set(ZENTOK_MAN_DATE "2026-12-07")
  set(man8 ${ZENTOK_GENERATED_DIR}/zentok.8.gz)
  set(man5 ${ZENTOK_GENERATED_DIR}/zentok.ini.5.gz)
  # Links between the docs point at the installed documentation in the pages.
  set(man_filter ${ZENTOK_PACKAGING_DIR}/man-links.lua)
  set(man5_example ${ZENTOK_GENERATED_DIR}/zentok.ini.5-example.md)
  set(man5_alarm ${ZENTOK_GENERATED_DIR}/zentok.ini.5-alarm.md)
  add_custom_command(OUTPUT ${man8}
    COMMAND ${PANDOC} --standalone --from markdown-smart --to man --lua-filter ${man_filter}
            -M title=ZENTOK -M section=8 -M "header=System Manager's Manual" -M "footer=zentok ${PROJECT_VERSION}"
            -M date=${ZENTOK_MAN_DATE} -o ${ZENTOK_GENERATED_DIR}/zentok.8 ${CMAKE_SOURCE_DIR}/docs/zentok.8.md
    COMMAND ${GZIP} -9nf ${ZENTOK_GENERATED_DIR}/zentok.8
    DEPENDS ${CMAKE_SOURCE_DIR}/docs/zentok.8.md ${man_filter}
    COMMENT "Man page zentok(8)" VERBATIM)
  add_custom_command(OUTPUT ${man5_example}
    COMMAND ${CMAKE_COMMAND} -DEXAMPLE=${CMAKE_SOURCE_DIR}/examples/zentok.ini -DOUTPUT=${man5_example}
            -P ${ZENTOK_PACKAGING_DIR}/ManExample.cmake
    DEPENDS ${CMAKE_SOURCE_DIR}/examples/zentok.ini ${ZENTOK_PACKAGING_DIR}/ManExample.cmake VERBATIM)
  add_custom_command(OUTPUT ${man5_alarm}
    COMMAND ${CMAKE_COMMAND} -DALARMS=${CMAKE_SOURCE_DIR}/docs/alarms.md -DOUTPUT=${man5_alarm}
            -P ${ZENTOK_PACKAGING_DIR}/ManAlarm.cmake
    DEPENDS ${CMAKE_SOURCE_DIR}/docs/alarms.md ${ZENTOK_PACKAGING_DIR}/ManAlarm.cmake VERBATIM)
  add_custom_command(OUTPUT ${man5}
    COMMAND ${PANDOC} --standalone --from markdown-smart --to man --lua-filter ${man_filter}
            -M title=ZENTOK.INI -M section=5 -M "header=File Formats Manual" -M "footer=zentok ${PROJECT_VERSION}"
            -M date=${ZENTOK_MAN_DATE} -o ${ZENTOK_GENERATED_DIR}/zentok.ini.5
            ${ZENTOK_PACKAGING_DIR}/zentok.ini.5-name.md ${CMAKE_SOURCE_DIR}/docs/configuration.md ${man5_alarm}
            ${man5_example}
    COMMAND ${GZIP} -9nf ${ZENTOK_GENERATED_DIR}/zentok.ini.5
    DEPENDS ${ZENTOK_PACKAGING_DIR}/zentok.ini.5-name.md ${CMAKE_SOURCE_DIR}/docs/configuration.md ${man5_alarm}
            ${man5_example} ${man_filter}
    COMMENT "Man page zentok.ini(5)" VERBATIM)
  add_custom_target(man ALL DEPENDS ${man8} ${man5})
  install(FILES ${man8} DESTINATION ${CMAKE_INSTALL_MANDIR}/man8)
  install(FILES ${man5} DESTINATION ${CMAKE_INSTALL_MANDIR}/man5)
else()
  message(WARNING "pandoc or gzip not found: the package will have no man pages (scripts/install-deps installs pandoc)")
endif()

set(ZENTOK_CHANGELOG ${ZENTOK_GENERATED_DIR}/changelog.gz)
add_custom_command(OUTPUT ${ZENTOK_CHANGELOG}
  COMMAND ${CMAKE_COMMAND} -E copy ${ZENTOK_PACKAGING_DIR}/changelog ${ZENTOK_GENERATED_DIR}/changelog
  COMMAND ${GZIP} -9nf ${ZENTOK_GENERATED_DIR}/changelog
  DEPENDS ${ZENTOK_PACKAGING_DIR}/changelog VERBATIM)
add_custom_target(package_changelog ALL DEPENDS ${ZENTOK_CHANGELOG})

set(docdir ${CMAKE_INSTALL_DATAROOTDIR}/doc/zentok)
install(TARGETS zentok RUNTIME DESTINATION ${CMAKE_INSTALL_BINDIR})
install(FILES examples/zentok.service examples/zentok@.service DESTINATION /lib/systemd/system)
install(FILES examples/zentok.ini DESTINATION /etc/zentok)
install(FILES ${ZENTOK_PACKAGING_DIR}/lintian-overrides DESTINATION ${CMAKE_INSTALL_DATADIR}/lintian/overrides RENAME zentok)
install(FILES ${ZENTOK_PACKAGING_DIR}/zentok.bash-completion DESTINATION ${CMAKE_INSTALL_DATADIR}/bash-completion/completions RENAME zentok)
install(FILES README.md ${ZENTOK_PACKAGING_DIR}/copyright ${ZENTOK_CHANGELOG} DESTINATION ${docdir})
install(DIRECTORY docs/ DESTINATION ${docdir}/docs FILES_MATCHING PATTERN "*.md")
install(FILES examples/zentok.service examples/zentok@.service DESTINATION ${docdir}/examples)

set(CPACK_GENERATOR DEB)
set(CPACK_PACKAGE_NAME zentok)
set(CPACK_PACKAGE_VERSION ${PROJECT_VERSION})
set(CPACK_PACKAGE_CONTACT "Zentok developers <zentok@example.org>")
set(CPACK_PACKAGE_DESCRIPTION_SUMMARY "couples a PLC to notification channels")
# CPack puts the summary first and indents these lines itself.
set(CPACK_DEBIAN_PACKAGE_DESCRIPTION "Zentok reads up to five process values from a Siemens S7 PLC (ISO-on-TCP)
or a Modbus TCP device at a fixed interval, evaluates trigger conditions, and
when one starts to hold sends a message once to every receiver of the value's
group: a CSV file, an e-mail over SMTP, an HTTP POST to a server manager, a
Twitter status, a JSON post to a chat webhook, a push message through ntfy,
a Telegram message, an MQTT publish to a broker or a run of a program.
Alarm states persist, so a restart never repeats one, and an outbox file keeps
every notification until its channel has taken it.

The package brings a hardened systemd unit, a template unit for one coupler
per PLC, and a configuration check (zentok --check).")
set(CPACK_DEBIAN_FILE_NAME DEB-DEFAULT)
set(CPACK_DEBIAN_PACKAGE_SECTION net)
set(CPACK_DEBIAN_PACKAGE_PRIORITY optional)
set(CPACK_DEBIAN_PACKAGE_HOMEPAGE "https://zentok.example.org")
set(CPACK_DEBIAN_PACKAGE_SHLIBDEPS ON)
set(CPACK_STRIP_FILES ON)
set(CPACK_PACKAGING_INSTALL_PREFIX /usr)
set(CPACK_DEBIAN_PACKAGE_CONTROL_STRICT_PERMISSION ON)
set(CPACK_DEBIAN_PACKAGE_CONTROL_EXTRA
  ${ZENTOK_PACKAGING_DIR}/conffiles
  ${ZENTOK_PACKAGING_DIR}/postinst
  ${ZENTOK_PACKAGING_DIR}/prerm
  ${ZENTOK_PACKAGING_DIR}/postrm)
include(CPack)
