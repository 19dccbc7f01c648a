# ostrel serve: the gateway with its raw SCPI sockets everywhere, written once
# against the BSD socket names (SocketApi.h, one per system), and the VXI-11
# channels on libtirpc with rpcgen's stubs made from vxi11.x at build time.
# Without libtirpc (Windows; the Linux demo needs none) serve offers the raw
# sockets alone and says why; OSTREL_SERVE tells the tests which it is.
# The tool's CMakeLists includes this file: its target is ostrel_tool.
set(here ${CMAKE_CURRENT_LIST_DIR})
target_sources(ostrel_tool PRIVATE ${here}/BenchConsole.cpp ${here}/Connections.cpp ${here}/Gateway.cpp ${here}/Network.cpp
  ${here}/RawChannel.cpp ${here}/Roster.cpp ${here}/Serve.cpp)
# The log's writer thread, and the systemd journal where libsystemd is at hand (libsystemd-dev).
target_sources(ostrel_tool PRIVATE ${here}/LogWriter.cpp ${here}/Refusals.cpp)
# Where a message ends (both channels), and what the gateway counts.
target_sources(ostrel_tool PRIVATE ${here}/Messages.cpp ${here}/Metrics.cpp)
# What an instrument is announced as; the announcements themselves where libavahi-client is at hand.
target_sources(ostrel_tool PRIVATE ${here}/ServiceNames.cpp)
if(WIN32)
  target_include_directories(ostrel_tool PRIVATE ${here}/windows)
  target_link_libraries(ostrel_tool PRIVATE ws2_32)
  target_sources(ostrel_tool PRIVATE ${here}/RpcUnavailable.cpp ${here}/JournalUnavailable.cpp
    ${here}/AnnouncerUnavailable.cpp ${here}/HttpUnavailable.cpp)
  return()
endif()
target_include_directories(ostrel_tool PRIVATE ${here}/posix)
# A library the gateway does without: `with` where pkg-config finds `module`,
# else `without` and a line saying what is missing.
function(ostrel_serve_optional prefix module with without missing)
  pkg_check_modules(${prefix} IMPORTED_TARGET ${module})
  if(${prefix}_FOUND)
    target_sources(ostrel_tool PRIVATE ${with})
    target_link_libraries(ostrel_tool PRIVATE PkgConfig::${prefix})
  else()
    message(STATUS "ostrel serve: ${missing}")
    target_sources(ostrel_tool PRIVATE ${without})
  endif()
endfunction()
ostrel_serve_optional(OSTREL_SYSTEMD libsystemd ${here}/Journal.cpp ${here}/JournalUnavailable.cpp
  "libsystemd not found (libsystemd-dev), log lines go to standard output under systemd too")
ostrel_serve_optional(OSTREL_AVAHI avahi-client "${here}/Announcer.cpp;${here}/Announcements.cpp"
  ${here}/AnnouncerUnavailable.cpp
  "libavahi-client not found (libavahi-client-dev), the instruments are not announced by mDNS")
# The status page, LXI identification and metrics on libmicrohttpd (libmicrohttpd-dev): a C library in
# Debian main with security support and a stable ABI that takes a socket we listened on (so --listen
# holds), asks us before it accepts a client (so --allow holds) and bounds connections per client, in
# all and in time itself. civetweb would bring a larger surface (files, CGI, scripting, WebSockets)
# that a few read-only documents do not need.
ostrel_serve_optional(OSTREL_MICROHTTPD libmicrohttpd
  "${here}/Http.cpp;${here}/Documents.cpp;${here}/StatusPage.cpp;${here}/Identification.cpp;${here}/Exposition.cpp"
  ${here}/HttpUnavailable.cpp "libmicrohttpd not found (libmicrohttpd-dev), no status page")
pkg_check_modules(OSTREL_TIRPC IMPORTED_TARGET libtirpc)
find_program(OSTREL_RPCGEN rpcgen)
if(NOT OSTREL_TIRPC_FOUND OR NOT OSTREL_RPCGEN)
  message(STATUS "ostrel serve: libtirpc or rpcgen not found (libtirpc-dev), VXI-11 left out")
  set(OSTREL_SERVE OFF PARENT_SCOPE)
  target_sources(ostrel_tool PRIVATE ${here}/RpcUnavailable.cpp)
  return()
endif()
set(OSTREL_SERVE ON PARENT_SCOPE)

set(generated ${CMAKE_CURRENT_BINARY_DIR}/serve)
set(definition ${here}/vxi11.x)
add_custom_command(
  OUTPUT ${generated}/vxi11.h ${generated}/vxi11_xdr.c ${generated}/vxi11_svc.c ${generated}/vxi11_clnt.c
  COMMAND ${CMAKE_COMMAND} -E make_directory ${generated}
  COMMAND ${CMAKE_COMMAND} -E copy ${definition} ${generated}/vxi11.x
  # rpcgen writes no file that exists already.
  COMMAND ${CMAKE_COMMAND} -E rm -f vxi11.h vxi11_xdr.c vxi11_svc.c vxi11_clnt.c
  COMMAND ${OSTREL_RPCGEN} -M -h -o vxi11.h vxi11.x
  COMMAND ${OSTREL_RPCGEN} -M -c -o vxi11_xdr.c vxi11.x
  COMMAND ${OSTREL_RPCGEN} -M -m -o vxi11_svc.c vxi11.x
  COMMAND ${OSTREL_RPCGEN} -M -l -o vxi11_clnt.c vxi11.x
  WORKING_DIRECTORY ${generated}
  DEPENDS ${definition}
  COMMENT "rpcgen: the VXI-11 stubs")
# rpcgen's code declares variables it does not use and casts xdr_void.
set(relaxed -Wno-unused-variable -Wno-cast-function-type)
set_source_files_properties(${generated}/vxi11_xdr.c ${generated}/vxi11_clnt.c PROPERTIES COMPILE_OPTIONS "${relaxed}")
set_source_files_properties(${generated}/vxi11_svc.c PROPERTIES
  COMPILE_OPTIONS "${relaxed};-include;${here}/RpcgenFixes.h")

# The protocol's types and their XDR routines, with the client stubs the benchmark calls.
add_library(ostrel_vxi11 STATIC ${generated}/vxi11.h ${generated}/vxi11_xdr.c ${generated}/vxi11_clnt.c)
target_include_directories(ostrel_vxi11 PUBLIC ${generated})
target_link_libraries(ostrel_vxi11 PUBLIC PkgConfig::OSTREL_TIRPC)

target_sources(ostrel_tool PRIVATE ${here}/RpcChannel.cpp ${here}/Rpcbind.cpp ${generated}/vxi11_svc.c)
target_link_libraries(ostrel_tool PRIVATE ostrel_vxi11)
