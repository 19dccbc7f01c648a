#!/usr/bin/env bash
# ostrel.hpp under the compilers of the programs that include it, warnings as errors: GCC with and
# without exceptions, MinGW-w64 and clang for Windows, and clang for MSVC's ABI where an MSVC standard
# library is at hand (Debian has none: then it says so and skips it).
#   compilers_test.sh <source dir>
set -uo pipefail
root=$1
source "$root/tests/support/checks.sh"
scratch=$(mktemp -d)
trap 'rm -rf "$scratch"' EXIT
cat >"$scratch/program.cpp" <<'END'
#include "ostrel.hpp"
struct Monitor {
    void OnEvent(const ostrel::Event &) {}
};
int main()
{
    Monitor monitor;
    ostrel::EventMode events(&Monitor::OnEvent, &monitor);
    for (const ostrel::InstrumentInfo &info : ostrel::discover()) {
        const ostrel::Instrument instrument(info.key);
        instrument.write_binary(std::vector<unsigned char>{1, 2});
        return instrument.query("*IDN?", std::chrono::milliseconds(300)).empty();
    }
}
END
cat >"$scratch/no_exceptions.cpp" <<'END'
#include "ostrel.hpp"
int main()
{
    auto events = ostrel::EventMode::try_start([](const ostrel::Event &) {});
    ostrel::Result<ostrel::Instrument> instrument = ostrel::Instrument::open(0);
    return events && instrument && instrument->try_query("*IDN?") ? 0 : 1;
}
END
flags=(-std=c++17 -Wall -Wextra -Werror -pedantic -fsyntax-only -I"$root/include")
mingw=/usr/lib/gcc/x86_64-w64-mingw32/12-posix/include/c++
compiles() { "$@" >"$scratch/log" 2>&1 || { cat "$scratch/log"; return 1; }; }

check "g++ compiles it" compiles g++ "${flags[@]}" "$scratch/program.cpp"
check "g++ -fno-exceptions compiles its non-throwing forms" \
  compiles g++ "${flags[@]}" -fno-exceptions "$scratch/no_exceptions.cpp"
check "clang++ compiles it" compiles clang++ "${flags[@]}" "$scratch/program.cpp"
# MinGW's std::thread needs the posix thread model (the win32 one has it from GCC 13 on).
check "x86_64-w64-mingw32-g++-posix compiles it" compiles x86_64-w64-mingw32-g++-posix "${flags[@]}" "$scratch/program.cpp"
check "clang++ for Windows (MinGW's headers) compiles it" \
  compiles clang++ --target=x86_64-w64-windows-gnu -isystem "$mingw" -isystem "$mingw/x86_64-w64-mingw32" \
    "${flags[@]}" "$scratch/program.cpp"
if echo '#include <string>' | clang++ --target=x86_64-pc-windows-msvc -x c++ -E - >/dev/null 2>&1; then
  check "clang++ for MSVC compiles it" compiles clang++ --target=x86_64-pc-windows-msvc "${flags[@]}" "$scratch/program.cpp"
else
  echo "SKIP - clang++ for MSVC: no MSVC standard library here"
fi
report
