# What the Windows end-to-end suites (tests/windows/e2e, tests/windows/sim) share: the scenario
# sources, and the files that must lie beside their programs under Wine.
include(${PROJECT_SOURCE_DIR}/tests/scenarios/Scenarios.cmake)

# ostrel_wine_copies(<name> <target>:<file name>...): the target <name> keeps up-to-date copies of
# each target's file and of examples/bench.json in this folder, where the loader and the programs
# look first.
function(ostrel_wine_copies name)
  set(copies ${CMAKE_CURRENT_BINARY_DIR}/bench.json)
  set(commands COMMAND ${CMAKE_COMMAND} -E copy ${PROJECT_SOURCE_DIR}/examples/bench.json ${copies})
  set(targets "")
  foreach(pair IN LISTS ARGN)
    string(REPLACE ":" ";" parts ${pair})
    list(GET parts 0 target)
    list(GET parts 1 file)
    list(APPEND copies ${CMAKE_CURRENT_BINARY_DIR}/${file})
    list(APPEND commands COMMAND ${CMAKE_COMMAND} -E copy $<TARGET_FILE:${target}> ${CMAKE_CURRENT_BINARY_DIR}/${file})
    list(APPEND targets ${target})
  endforeach()
  add_custom_command(OUTPUT ${copies} ${commands} DEPENDS ${targets} ${PROJECT_SOURCE_DIR}/examples/bench.json)
  add_custom_target(${name} ALL DEPENDS ${copies})
endfunction()
