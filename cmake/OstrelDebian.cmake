# What Debian asks of each package beyond its files (OstrelPackaging.cmake names the packages):
# the copyright file (the licence in Debian's machine-readable format) and the changelog in
# /usr/share/doc/<package>, and the maintainer scripts and triggers.
set(debian ${PROJECT_BINARY_DIR}/debian)
set(sources ${PROJECT_SOURCE_DIR}/packaging/debian)

# The copyright file quotes LICENSE itself: everything after its copyright line,
# indented, with "." for an empty line.
file(STRINGS ${PROJECT_SOURCE_DIR}/LICENSE licence)
set(OSTREL_LICENSE_TEXT "")
set(OSTREL_COPYRIGHT "")
foreach(line IN LISTS licence)
  if(line MATCHES "^Copyright \\(c\\) (.*)")
    set(OSTREL_COPYRIGHT ${CMAKE_MATCH_1})
  elseif(OSTREL_COPYRIGHT AND line STREQUAL "")
    string(APPEND OSTREL_LICENSE_TEXT " .\n")
  elseif(OSTREL_COPYRIGHT)
    string(APPEND OSTREL_LICENSE_TEXT " ${line}\n")
  endif()
endforeach()
string(REGEX REPLACE "^ \\.\n|\n$" "" OSTREL_LICENSE_TEXT "${OSTREL_LICENSE_TEXT}")
configure_file(${sources}/copyright.in ${debian}/copyright @ONLY)
configure_file(${sources}/changelog ${debian}/changelog @ONLY)
execute_process(COMMAND gzip -9nf ${debian}/changelog COMMAND_ERROR_IS_FATAL ANY)

foreach(component IN LISTS CPACK_COMPONENTS_ALL)
  string(TOUPPER ${component} upper)
  install(FILES ${debian}/copyright ${debian}/changelog.gz
    DESTINATION ${CMAKE_INSTALL_DATAROOTDIR}/doc/${CPACK_DEBIAN_${upper}_PACKAGE_NAME} COMPONENT ${component})
endforeach()

# Maintainer scripts: packaging/debian/<package>.<script>, with the udev and
# systemd reload that several of them share put in.
file(READ ${sources}/reload.sh OSTREL_RELOAD)
string(STRIP "${OSTREL_RELOAD}" OSTREL_RELOAD)
string(REPLACE "\n" "\n  " OSTREL_RELOAD "  ${OSTREL_RELOAD}")
foreach(component IN LISTS CPACK_COMPONENTS_ALL)
  string(TOUPPER ${component} upper)
  set(package ${CPACK_DEBIAN_${upper}_PACKAGE_NAME})
  set(control "")
  foreach(script postinst prerm postrm triggers)
    if(EXISTS ${sources}/${package}.${script})
      configure_file(${sources}/${package}.${script} ${debian}/${package}/${script} @ONLY)
      list(APPEND control ${debian}/${package}/${script})
    endif()
  endforeach()
  set(CPACK_DEBIAN_${upper}_PACKAGE_CONTROL_EXTRA ${control})
endforeach()
# CPack writes postinst and postrm scripts that call ldconfig by hand for a
# package with shared libraries, unless it is given its own; naming them (there
# are none) leaves libostrel0 to its ldconfig trigger.
list(APPEND CPACK_DEBIAN_RUNTIME_PACKAGE_CONTROL_EXTRA ${debian}/libostrel0/postinst ${debian}/libostrel0/postrm)
# The gateway's options file is the administrator's: kept across upgrades.
if(OSTREL_SERVE)
  file(WRITE ${debian}/ostrel-tools/conffiles "/etc/ostrel/serve.conf\n")
  list(APPEND CPACK_DEBIAN_TOOLS_PACKAGE_CONTROL_EXTRA ${debian}/ostrel-tools/conffiles)
endif()
