# What `cmake --install` puts where, and the package files that let other builds find it.
# Included at the end of the top-level CMakeLists.txt, once every product target exists.
# A project that builds Ostrel inside its own (add_subdirectory, FetchContent)
# decides itself what it installs and packages.
option(OSTREL_INSTALL "Install rules, the Debian packages and the Windows SDK" ${PROJECT_IS_TOP_LEVEL})
if(WIN32)
  include(${CMAKE_CURRENT_LIST_DIR}/OstrelWindowsSdk.cmake)
  return()
endif()

include(GNUInstallDirs)
include(CMakePackageConfigHelpers)

set(OSTREL_LIBRARIES ostrel-sim)
if(TARGET ostrel)
  list(APPEND OSTREL_LIBRARIES ostrel)
endif()

# The soname carries the major version, as the CMake package's compatibility
# does: every 0.x release keeps the ABI that applications linked against.
set(OSTREL_SOVERSION ${PROJECT_VERSION_MAJOR})
foreach(library IN LISTS OSTREL_LIBRARIES)
  set_target_properties(${library} PROPERTIES VERSION ${PROJECT_VERSION} SOVERSION ${OSTREL_SOVERSION})
  # The names find_package gives, also where Ostrel is built inside another project.
  add_library(Ostrel::${library} ALIAS ${library})
  # Installed consumers take the headers from the prefix, never from this source tree.
  set_property(TARGET ${library} PROPERTY INTERFACE_INCLUDE_DIRECTORIES
    $<BUILD_INTERFACE:${PROJECT_SOURCE_DIR}/include>)
endforeach()

if(NOT OSTREL_INSTALL)
  return()
endif()
# Installed into /usr, Ostrel is the system's (the Debian packages): nothing
# needs a path of its own to run, and configuration lives in /etc.
if(CMAKE_INSTALL_PREFIX STREQUAL "/usr")
  set(OSTREL_SYSTEM_PREFIX ON)
else()
  set(OSTREL_SYSTEM_PREFIX OFF)
endif()

install(TARGETS ${OSTREL_LIBRARIES} EXPORT OstrelTargets
  LIBRARY DESTINATION ${CMAKE_INSTALL_LIBDIR} COMPONENT runtime NAMELINK_COMPONENT development
  INCLUDES DESTINATION ${CMAKE_INSTALL_INCLUDEDIR})
# Every public header, in include/; a new one is added here and nowhere else.
set(OSTREL_PUBLIC_HEADERS ostrel.h ostrel.hpp ostrel_sim.h)
list(TRANSFORM OSTREL_PUBLIC_HEADERS PREPEND ${PROJECT_SOURCE_DIR}/include/)
install(FILES ${OSTREL_PUBLIC_HEADERS} DESTINATION ${CMAKE_INSTALL_INCLUDEDIR} COMPONENT development)

if(TARGET ostrel_tool)
  # Outside the system's library folders the tool finds its libraries beside
  # itself; the build tree's own path is dropped at install.
  if(NOT OSTREL_SYSTEM_PREFIX)
    set_target_properties(ostrel_tool PROPERTIES INSTALL_RPATH "$ORIGIN/../${CMAKE_INSTALL_LIBDIR}")
  endif()
  install(TARGETS ostrel_tool RUNTIME DESTINATION ${CMAKE_INSTALL_BINDIR} COMPONENT tools)
  include(${CMAKE_CURRENT_LIST_DIR}/OstrelManPage.cmake)
endif()
# udev reads <prefix>/lib/udev/rules.d for /usr and /usr/local alike. The rules
# that `ostrel udev-rule` writes give instruments to the ostrel group, whose
# user runs the gateway.
install(FILES ${PROJECT_SOURCE_DIR}/packaging/linux/70-ostrel.rules DESTINATION lib/udev/rules.d COMPONENT tools)
install(FILES ${PROJECT_SOURCE_DIR}/packaging/linux/ostrel.sysusers DESTINATION lib/sysusers.d RENAME ostrel.conf
  COMPONENT tools)
# The LAN gateway as a systemd service with its options file: /etc/ostrel for /usr, <prefix>/etc/ostrel elsewhere.
if(OSTREL_SERVE)
  if(OSTREL_SYSTEM_PREFIX)
    set(OSTREL_SERVE_CONFIG_DIR /etc/ostrel)
  else()
    set(OSTREL_SERVE_CONFIG_DIR ${CMAKE_INSTALL_SYSCONFDIR}/ostrel)
  endif()
  cmake_path(ABSOLUTE_PATH OSTREL_SERVE_CONFIG_DIR BASE_DIRECTORY ${CMAKE_INSTALL_PREFIX} OUTPUT_VARIABLE config_dir)
  set(OSTREL_SERVE_CONFIG ${config_dir}/serve.conf)
  set(OSTREL_SERVE_BINARY ${CMAKE_INSTALL_FULL_BINDIR}/ostrel)
  set(OSTREL_SERVE_DOCS ${CMAKE_INSTALL_FULL_DOCDIR})
  configure_file(${PROJECT_SOURCE_DIR}/packaging/linux/ostrel-serve.service ${PROJECT_BINARY_DIR}/package/ostrel-serve.service
    @ONLY)
  install(FILES ${PROJECT_BINARY_DIR}/package/ostrel-serve.service DESTINATION lib/systemd/system COMPONENT tools)
  install(FILES ${PROJECT_SOURCE_DIR}/packaging/linux/serve.conf DESTINATION ${OSTREL_SERVE_CONFIG_DIR} COMPONENT tools)
endif()
# The documents go with the tool: its doctor, the service's unit and its options
# file name them. A system's packages carry the licence in their copyright files.
install(FILES ${PROJECT_SOURCE_DIR}/README.md DESTINATION ${CMAKE_INSTALL_DOCDIR} COMPONENT tools)
install(DIRECTORY ${PROJECT_SOURCE_DIR}/docs/ DESTINATION ${CMAKE_INSTALL_DOCDIR} COMPONENT tools
  FILES_MATCHING PATTERN "*.md")
if(NOT OSTREL_SYSTEM_PREFIX)
  install(FILES ${PROJECT_SOURCE_DIR}/LICENSE DESTINATION ${CMAKE_INSTALL_DOCDIR} COMPONENT development)
endif()

# find_package(Ostrel 0.2 REQUIRED): Ostrel::ostrel-sim, and Ostrel::ostrel where it was built.
set(OSTREL_CMAKE_DIR ${CMAKE_INSTALL_LIBDIR}/cmake/Ostrel)
install(EXPORT OstrelTargets NAMESPACE Ostrel:: DESTINATION ${OSTREL_CMAKE_DIR} COMPONENT development)
configure_package_config_file(${CMAKE_CURRENT_LIST_DIR}/OstrelConfig.cmake.in
  ${PROJECT_BINARY_DIR}/package/OstrelConfig.cmake INSTALL_DESTINATION ${OSTREL_CMAKE_DIR})
write_basic_package_version_file(${PROJECT_BINARY_DIR}/package/OstrelConfigVersion.cmake
  VERSION ${PROJECT_VERSION} COMPATIBILITY SameMajorVersion)
install(FILES ${PROJECT_BINARY_DIR}/package/OstrelConfig.cmake ${PROJECT_BINARY_DIR}/package/OstrelConfigVersion.cmake
  DESTINATION ${OSTREL_CMAKE_DIR} COMPONENT development)

# pkg-config files name the prefix actually installed into (`cmake --install
# --prefix`, or /usr for the Debian packages), so they are finished at install time.
function(ostrel_pkg_config name description)
  set(OSTREL_PC_NAME ${name})
  set(OSTREL_PC_DESCRIPTION ${description})
  set(OSTREL_PC_PREFIX "@OSTREL_PC_PREFIX@")
  set(template ${PROJECT_BINARY_DIR}/package/${name}.pc.in)
  set(file ${PROJECT_BINARY_DIR}/package/${name}.pc)
  configure_file(${CMAKE_CURRENT_FUNCTION_LIST_DIR}/ostrel.pc.in ${template} @ONLY)
  install(CODE "set(OSTREL_PC_PREFIX \"\${CMAKE_INSTALL_PREFIX}\")
    configure_file(\"${template}\" \"${file}\" @ONLY)" COMPONENT development)
  install(FILES ${file} DESTINATION ${CMAKE_INSTALL_LIBDIR}/pkgconfig COMPONENT development)
endfunction()
ostrel_pkg_config(ostrel-sim "Ostrel USB instrument library over the simulated instrument bench")
if(TARGET ostrel)
  ostrel_pkg_config(ostrel "Ostrel USB instrument library (libusb, udev)")
endif()

include(${CMAKE_CURRENT_LIST_DIR}/OstrelPackaging.cmake)
