#!/usr/bin/env bash
# Installs the Debian packages one purpose needs, only those missing; safe to run again.
#   install-deps.sh [demo|package|dist|test]     (default: test, which covers the others)
#     demo      build the Linux library and tool, run the tour on the simulated bench
#     package   the Debian packages (make package)
#     dist      the Windows SDK zip (make dist)
#     test      every suite of make test, make bench and make fuzz
set -euo pipefail

# The tool needs CLI11 and libedit, and libudev for its doctor.
demo=(make cmake ninja-build g++ pkg-config nlohmann-json3-dev libcli11-dev libedit-dev libudev-dev)
# libostrel.so needs libusb and libudev; dpkg-shlibdeps (dpkg-dev) and `file` work out the dependencies;
# the tool's serve needs libtirpc and rpcgen (libtirpc-dev), which the demo does without, and writes to the
# systemd journal through libsystemd (libsystemd-dev) and announces the instruments through Avahi
# (libavahi-client-dev) where it has them; help2man writes the tool's manual page, lintian checks the packages.
package=("${demo[@]}" libusb-1.0-0-dev libtirpc-dev libsystemd-dev libavahi-client-dev dpkg-dev file help2man
  lintian)
# serve's status page, identification and metrics on libmicrohttpd.
package+=(libmicrohttpd-dev)
# MinGW-w64 builds the DLL and the tool (with the host's CLI11 and nlohmann-json headers); LLVM's
# llvm-dlltool makes the MSVC import library.
dist=(make cmake ninja-build mingw-w64 g++-mingw-w64-x86-64-posix nlohmann-json3-dev libcli11-dev llvm)
test=("${package[@]}" "${dist[@]}" python3
  # test frameworks, benchmarks, emulated USB devices
  googletest libgtest-dev libgmock-dev libbenchmark-dev umockdev libumockdev-dev
  # the Python packages: their tests, the PyVISA backend, installing them
  python3-pytest python3-pyvisa python3-setuptools python3-venv
  # the LAN gateway's clients (PyVISA's own backend, lxi-tools) and the system's rpcbind
  python3-pyvisa-py lxi-tools rpcbind
  # each gateway suite in a network namespace of its own (unshare, ip)
  util-linux iproute2
  # the announcements, in namespaces with a system bus and an Avahi daemon of their own
  dbus-daemon avahi-daemon avahi-utils
  # the gateway's web pages read by curl, xmllint, promtool and a headless browser (with a font to draw in)
  curl libxml2-utils prometheus chromium fonts-dejavu-core
  # the floor of simulated hosts: a client that browses with python3-zeroconf
  python3-zeroconf
  # fuzz targets (clang, libFuzzer); clang and lld-link also link the MSVC-style SDK check
  clang libclang-rt-14-dev lld
  # the Windows programs under Wine; the C# bindings under Mono
  wine64 mono-mcs mono-runtime)

purpose=${1:-test}
case $purpose in
  demo | package | dist | test) declare -n packages=$purpose ;;
  *) echo "usage: $0 [demo|package|dist|test]" >&2; exit 2 ;;
esac

missing=()
for name in "${packages[@]}"; do
  status=$(dpkg-query -W -f='${Status}' "$name" 2>/dev/null || true)
  [[ $status == "install ok installed" ]] || missing+=("$name")
done
[[ ${#missing[@]} -eq 0 ]] && exit 0

sudo=()
[[ $(id -u) -eq 0 ]] || sudo=(sudo)
echo "install-deps ($purpose): installing ${missing[*]}"
export DEBIAN_FRONTEND=noninteractive
"${sudo[@]}" apt-get update -q
"${sudo[@]}" apt-get install -y -q "${missing[@]}"
