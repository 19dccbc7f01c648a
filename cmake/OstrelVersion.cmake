# The project's version where Windows looks for it: a VERSIONINFO resource in each shipped binary.
if(WIN32)
  enable_language(RC)
endif()

# ostrel_version_resource(<target> <file name> <description>): Explorer's
# Details tab, installers and the library's own log header read it.
function(ostrel_version_resource target file_name description)
  get_target_property(type ${target} TYPE)
  if(type STREQUAL "SHARED_LIBRARY")
    set(OSTREL_FILE_TYPE VFT_DLL)
  else()
    set(OSTREL_FILE_TYPE VFT_APP)
  endif()
  set(OSTREL_FILE_NAME ${file_name})
  set(OSTREL_FILE_DESCRIPTION ${description})
  configure_file(${PROJECT_SOURCE_DIR}/cmake/OstrelVersion.rc.in ${PROJECT_BINARY_DIR}/version/${target}.rc @ONLY)
  target_sources(${target} PRIVATE ${PROJECT_BINARY_DIR}/version/${target}.rc)
endfunction()
