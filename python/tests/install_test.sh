#!/bin/sh
# Installs both packages the way the README says, offline and without build isolation, into a scratch
# virtualenv that sees Debian's packages, then uses them from outside the source tree.
# usage: install_test.sh <python3> <source dir> <libostrel-sim.so>
set -eu
python=$1 source=$2 library=$3
scratch=$(mktemp -d)
trap 'rm -rf "$scratch"' EXIT
# A copy: an in-tree build would leave build/ and *.egg-info in the sources.
cp -R "$source/python" "$scratch/python"
"$python" -m venv --system-site-packages "$scratch/venv"
"$scratch/venv/bin/python" -m pip install --quiet --no-index --no-build-isolation "$scratch/python"
rm -rf "$scratch/python"
cd "$scratch"
OSTREL_LIBRARY=$library OSTREL_BENCH=$source/examples/bench.json "$scratch/venv/bin/python" -c '
import pathlib, sys, ostrel, pyvisa, pyvisa_ostrel
for module in (ostrel, pyvisa_ostrel):
    assert pathlib.Path(sys.prefix) in pathlib.Path(module.__file__).parents, module.__file__
assert "ostrel" in pyvisa.highlevel.list_backends()
print(pyvisa.ResourceManager("@ostrel").list_resources())
'
OSTREL_LIBRARY=$library "$scratch/venv/bin/python" -m ostrel --bench "$source/examples/bench.json" list
echo "python install: 1 passed, 0 failed"
