#!/bin/sh
# The labgrid driver's tests: Debian's labgrid in a virtual environment under the build
# tree (its system packages visible), the driver installed into it by pip from a copy of
# the package, then pytest on test_farm.py. Exits 77 (skipped) when labgrid is missing.
#   run.sh BUILD_DIR [pytest arguments]
set -eu
build=$1
shift
here=$(cd "$(dirname "$0")" && pwd)
py=/usr/bin/python3
if ! "$py" -c 'import labgrid' 2>/dev/null; then
    echo "python3-labgrid is not installed: the labgrid driver's tests are skipped"
    exit 77
fi
export PYTHONDONTWRITEBYTECODE=1
venv=$build/labgrid-venv
[ -x "$venv/bin/python" ] || "$py" -m venv --system-site-packages "$venv"
# pip builds in the tree it is given: a copy, so that the source tree stays clean
src=$build/labgrid-src
rm -rf "$src"
mkdir -p "$src"
cp -r "$here/../pyproject.toml" "$here/../larkspur_labgrid" "$src/"
"$venv/bin/python" -m pip install -q --no-deps --no-build-isolation --no-index "$src"
exec "$venv/bin/python" -m pytest "$here/test_farm.py" -p no:cacheprovider -q "$@"
