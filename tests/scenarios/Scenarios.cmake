# The scenario sources every suite builds: tests/scenarios (Linux, ctest),
# tests/windows/e2e and tests/windows/sim (Windows, under Wine). Each adds the
# host file of its system.
set(OSTREL_SCENARIO_SOURCES
  ${CMAKE_CURRENT_LIST_DIR}/Scenario.cpp
  ${CMAKE_CURRENT_LIST_DIR}/BenchScenarios.cpp
  ${CMAKE_CURRENT_LIST_DIR}/DiscoveryScenarios.cpp
  ${CMAKE_CURRENT_LIST_DIR}/EventScenarios.cpp
  ${CMAKE_CURRENT_LIST_DIR}/ShutdownScenarios.cpp
  ${CMAKE_CURRENT_LIST_DIR}/TransferScenarios.cpp)
set(OSTREL_SCENARIO_HOST_WINDOWS ${CMAKE_CURRENT_LIST_DIR}/windows/ScenarioHostWindows.cpp)
# The program the unload scenario runs; each suite adds the library host of its system.
set(OSTREL_UNLOAD_CHECK_SOURCES ${CMAKE_CURRENT_LIST_DIR}/UnloadCheck.cpp)
set(OSTREL_LIBRARY_HOST_WINDOWS ${CMAKE_CURRENT_LIST_DIR}/windows/LibraryHostWindows.cpp)
