# What the shell test scripts share (sourced): counted checks and the closing counts line.
#   check <description> <command...>   runs the command; its status is the check's verdict
#   report                             prints "N passed, M failed"; fails unless all passed
passed=0 failed=0
check() {
  local what=$1
  shift
  if "$@"; then echo "ok   - $what"; passed=$((passed + 1)); else echo "FAIL - $what"; failed=$((failed + 1)); fi
}
report() {
  echo "$passed passed, $failed failed"
  [[ $failed -eq 0 && $passed -gt 0 ]]
}
# project_version <source dir>: the one place the version is written.
project_version() { sed -n 's/^project(Ostrel VERSION \([0-9.]*\).*/\1/p' "$1/CMakeLists.txt"; }
