# The manual page ostrel(1), made by help2man from the tool's own --help at build
# time, so that it says what the tool it ships with does.
find_program(OSTREL_HELP2MAN help2man)
if(NOT OSTREL_HELP2MAN)
  message(STATUS "help2man not found: no manual page for ostrel (scripts/install-deps.sh package installs it)")
  return()
endif()
set(OSTREL_MAN_PAGE ${PROJECT_BINARY_DIR}/package/ostrel.1)
# --version-string: the tool's --version also names the library it loads, which
# differs by machine. gzip -n keeps the build's time out of the file.
add_custom_command(OUTPUT ${OSTREL_MAN_PAGE}.gz
  COMMAND ${OSTREL_HELP2MAN} --no-info --no-discard-stderr --version-string=${PROJECT_VERSION}
    "--name=list, query and watch USB instruments, and serve them on the LAN" --output=${OSTREL_MAN_PAGE}
    $<TARGET_FILE:ostrel_tool>
  COMMAND gzip -9nf ${OSTREL_MAN_PAGE}
  DEPENDS ostrel_tool
  COMMENT "help2man: ostrel.1"
  VERBATIM)
add_custom_target(ostrel_man_page ALL DEPENDS ${OSTREL_MAN_PAGE}.gz)
install(FILES ${OSTREL_MAN_PAGE}.gz DESTINATION ${CMAKE_INSTALL_MANDIR}/man1 COMPONENT tools)
