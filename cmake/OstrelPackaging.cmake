# The Debian packages (`make package`): the install components of OstrelInstall.cmake as .deb files,
# with the debug symbols of the first and third in -dbgsym packages.
#   libostrel0      the libraries                                        (component runtime)
#   libostrel-dev   headers, .so links, pkg-config and CMake files        (development)
#   ostrel-tools    the tool, its manual page, the udev rules, the gateway's service and the docs (tools)
#   python3-ostrel  the Python package and the PyVISA backend             (python)
set(OSTREL_MAINTAINER "Ostrel developers <ostrel@example.org>" CACHE STRING
  "Maintainer of the Debian packages, as name <address>")
set(CPACK_GENERATOR DEB)
set(CPACK_PACKAGE_NAME ostrel)
set(CPACK_PACKAGE_VERSION ${PROJECT_VERSION})
set(CPACK_PACKAGE_CONTACT ${OSTREL_MAINTAINER})
# The descriptions reach the control files as written, quotes included.
set(CPACK_VERBATIM_VARIABLES ON)
set(CPACK_DEB_COMPONENT_INSTALL ON)
# Installing with DESTDIR keeps the real prefix in what is generated at install
# time (the pkg-config files) instead of CPack's staging folder.
set(CPACK_SET_DESTDIR ON)
set(CPACK_DEBIAN_FILE_NAME DEB-DEFAULT)
set(CPACK_DEBIAN_PACKAGE_SHLIBDEPS ON)
# dpkg-shlibdeps must find the libraries of libostrel0 for what links them in
# the other packages: in CPack's staging folder of the runtime component.
set(CPACK_PACKAGE_FILE_NAME ostrel-${PROJECT_VERSION})
set(CPACK_DEBIAN_PACKAGE_SHLIBDEPS_PRIVATE_DIRS
  ${PROJECT_BINARY_DIR}/_CPack_Packages/${CMAKE_SYSTEM_NAME}/DEB/${CPACK_PACKAGE_FILE_NAME}/runtime${CMAKE_INSTALL_FULL_LIBDIR})
set(CPACK_DEBIAN_ENABLE_COMPONENT_DEPENDS ON)
set(CPACK_DEBIAN_PACKAGE_CONTROL_STRICT_PERMISSION ON)
# Stripped binaries; their DWARF data in <package>-dbgsym (.ddeb, which `make package` names .deb).
set(CPACK_DEBIAN_DEBUGINFO_PACKAGE ON)

set(CPACK_DEBIAN_RUNTIME_PACKAGE_NAME libostrel${OSTREL_SOVERSION})
set(CPACK_DEBIAN_RUNTIME_PACKAGE_SECTION libs)
set(CPACK_DEBIAN_PACKAGE_GENERATE_SHLIBS ON)
set(CPACK_DEBIAN_PACKAGE_GENERATE_SHLIBS_POLICY ">=")
set(CPACK_COMPONENT_RUNTIME_DESCRIPTION "USB instrument library
Ostrel finds the laboratory instruments attached by USB, identifies them,
carries commands and replies, and follows instruments being plugged in and
unplugged. libostrel.so.0 drives real instruments through libusb and udev;
libostrel-sim.so.0 runs the same API over a simulated instrument bench.")

set(CPACK_DEBIAN_DEVELOPMENT_PACKAGE_NAME libostrel-dev)
set(CPACK_DEBIAN_DEVELOPMENT_PACKAGE_SECTION libdevel)
set(CPACK_COMPONENT_DEVELOPMENT_DEPENDS runtime)
set(CPACK_COMPONENT_DEVELOPMENT_DESCRIPTION "USB instrument library - development files
The headers ostrel.h, ostrel.hpp (C++17) and ostrel_sim.h, the links to link
against, pkg-config files (ostrel, ostrel-sim) and the CMake package
(find_package(Ostrel)).")

set(CPACK_DEBIAN_TOOLS_PACKAGE_NAME ostrel-tools)
set(CPACK_DEBIAN_TOOLS_PACKAGE_SECTION electronics)
set(CPACK_COMPONENT_TOOLS_DEPENDS runtime)
set(CPACK_COMPONENT_TOOLS_DESCRIPTION "USB instrument library - command-line tool, udev rules, LAN gateway
The ostrel tool lists, queries and watches USB instruments and writes the
udev rule that makes an instrument model known and accessible to the user at
the seat. ostrel serve (the ostrel-serve service) makes them LAN instruments
for VXI-11 and raw SCPI clients.")
# The gateway registers with rpcbind for VXI-11 clients, and announces its instruments through avahi-daemon.
set(CPACK_DEBIAN_TOOLS_PACKAGE_RECOMMENDS "rpcbind, avahi-daemon")

set(CPACK_COMPONENTS_ALL runtime development tools)
if(EXISTS ${PROJECT_SOURCE_DIR}/python/ostrel)
  install(DIRECTORY ${PROJECT_SOURCE_DIR}/python/ostrel ${PROJECT_SOURCE_DIR}/python/pyvisa_ostrel
    DESTINATION lib/python3/dist-packages COMPONENT python PATTERN __pycache__ EXCLUDE)
  list(APPEND CPACK_COMPONENTS_ALL python)
  set(CPACK_DEBIAN_PYTHON_PACKAGE_NAME python3-ostrel)
  set(CPACK_DEBIAN_PYTHON_PACKAGE_SECTION python)
  set(CPACK_DEBIAN_PYTHON_PACKAGE_ARCHITECTURE all)
  set(CPACK_DEBIAN_PYTHON_PACKAGE_DEPENDS "python3:any")
  set(CPACK_DEBIAN_PYTHON_PACKAGE_RECOMMENDS python3-pyvisa)
  set(CPACK_COMPONENT_PYTHON_DEPENDS runtime)
  set(CPACK_COMPONENT_PYTHON_DESCRIPTION "USB instrument library - Python package and PyVISA backend
The ostrel package calls the library from Python; pyvisa_ostrel makes it a
PyVISA backend (ResourceManager(\"@ostrel\")).")
endif()

include(${CMAKE_CURRENT_LIST_DIR}/OstrelDebian.cmake)
include(CPack)
