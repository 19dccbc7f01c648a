# The scenario sources both suites build: tests/scenarios (Linux, ctest) and
# tests/windows/e2e (Windows, under Wine). Each adds its own host file.
set(OSTREL_SCENARIO_SOURCES
  ${CMAKE_CURRENT_LIST_DIR}/Scenario.cpp
  ${CMAKE_CURRENT_LIST_DIR}/BenchScenarios.cpp
  ${CMAKE_CURRENT_LIST_DIR}/DiscoveryScenarios.cpp
  ${CMAKE_CURRENT_LIST_DIR}/EventScenarios.cpp
  ${CMAKE_CURRENT_LIST_DIR}/ShutdownScenarios.cpp
  ${CMAKE_CURRENT_LIST_DIR}/TransferScenarios.cpp)
