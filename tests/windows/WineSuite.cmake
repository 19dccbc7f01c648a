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

# ostrel_wine_unload_check(<scenario target> <library> <bench library> unloads|pinned): the program of
# the unload scenario, in this folder, loading <library> and plugging on <bench library>.
function(ostrel_wine_unload_check scenarios library bench unloads)
  set(target ${scenarios}_unload_check)
  add_executable(${target} ${OSTREL_UNLOAD_CHECK_SOURCES} ${OSTREL_LIBRARY_HOST_WINDOWS})
  set_target_properties(${target} PROPERTIES OUTPUT_NAME ostrel_unload_check)
  target_include_directories(${target} PRIVATE ${PROJECT_SOURCE_DIR}/include)
  target_link_options(${target} PRIVATE -static)
  target_compile_definitions(${scenarios} PRIVATE OSTREL_SCENARIO_LIBRARY="${library}"
    OSTREL_SCENARIO_BENCH_LIBRARY="${bench}" OSTREL_SCENARIO_LIBRARY_UNLOADS="${unloads}")
  add_dependencies(${scenarios} ${target})
endfunction()
