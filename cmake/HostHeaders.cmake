# Header-only libraries of the build machine for the MinGW cross build, whose
# toolchain keeps includes inside its own root: each library's folder is
# linked into a folder of the build's own, which ostrel_host_headers returns.
#   ostrel_host_headers(<variable> nlohmann/json.hpp CLI/CLI.hpp ...)
function(ostrel_host_headers variable)
  set(folder ${CMAKE_CURRENT_BINARY_DIR}/host-include)
  file(MAKE_DIRECTORY ${folder})
  foreach(header IN LISTS ARGN)
    string(REGEX REPLACE "/.*" "" top ${header})
    find_path(OSTREL_HOST_${top} ${header} PATHS /usr/include NO_CMAKE_FIND_ROOT_PATH NO_DEFAULT_PATH)
    if(NOT OSTREL_HOST_${top})
      message(FATAL_ERROR "${header} not found (scripts/install-deps.sh installs it)")
    endif()
    file(CREATE_LINK ${OSTREL_HOST_${top}}/${top} ${folder}/${top} SYMBOLIC)
  endforeach()
  set(${variable} ${folder} PARENT_SCOPE)
endfunction()
