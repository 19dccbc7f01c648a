# Windows: the version resources of the shipped binaries, and the SDK zip (target ostrel_sdk, `make dist`).
ostrel_version_resource(Ostrel Ostrel.dll "Ostrel USB instrument library")
ostrel_version_resource(OstrelSim OstrelSim.dll "Ostrel USB instrument library on the simulated bench")
if(TARGET ostrel_tool)
  ostrel_version_resource(ostrel_tool ostrel.exe "Ostrel command-line tool")
endif()
if(NOT OSTREL_INSTALL OR NOT TARGET ostrel_tool)
  return()
endif()

# MSVC's import libraries come from Debian's LLVM.
find_program(OSTREL_DLLTOOL NAMES llvm-dlltool llvm-dlltool-16 llvm-dlltool-15 llvm-dlltool-14)
set(OSTREL_SDK_ARGS
  -DSOURCE=${PROJECT_SOURCE_DIR}
  -DOUTPUT=${PROJECT_BINARY_DIR}/sdk
  -DNAME=ostrel-${PROJECT_VERSION}-win64
  -DDLL=$<TARGET_FILE:Ostrel>
  -DIMPORT_LIBRARY=$<TARGET_LINKER_FILE:Ostrel>
  -DSIM_DLL=$<TARGET_FILE:OstrelSim>
  -DSIM_IMPORT_LIBRARY=$<TARGET_LINKER_FILE:OstrelSim>
  -DSIM_DEF=$<TARGET_PROPERTY:OstrelSim,OSTREL_DEF_FILE>
  -DTOOL=$<TARGET_FILE:ostrel_tool>
  -DOBJCOPY=${CMAKE_OBJCOPY}
  -DDLLTOOL=${OSTREL_DLLTOOL})
# Laid out anew on every build: it is cheap, and never stale.
add_custom_target(ostrel_sdk
  COMMAND ${CMAKE_COMMAND} ${OSTREL_SDK_ARGS} -P ${CMAKE_CURRENT_LIST_DIR}/OstrelSdkLayout.cmake
  COMMENT "Windows SDK: ${PROJECT_BINARY_DIR}/sdk/ostrel-${PROJECT_VERSION}-win64.zip"
  VERBATIM)
add_dependencies(ostrel_sdk Ostrel OstrelSim ostrel_tool)
