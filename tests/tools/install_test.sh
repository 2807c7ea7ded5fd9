#!/usr/bin/env bash
# Installs into a scratch prefix and checks that both programs and the plot
# script arrive there and run. Usage: install_test.sh BUILD_DIR
set -euo pipefail
prefix=$(mktemp -d)
trap 'rm -rf "$prefix"' EXIT
cmake --install "$1" --prefix "$prefix" >/dev/null
for program in msd_isf msdisf plot_msd_isf.py; do
  [ -x "$prefix/bin/$program" ] || { echo "missing $prefix/bin/$program" >&2; exit 1; }
done
"$prefix/bin/msdisf" --version
usage=$("$prefix/bin/msd_isf" 2>&1 || true)  # no arguments: the usage line and status 1
[[ "$usage" == *"Usage: "* ]] || { echo "msd_isf did not run: $usage" >&2; exit 1; }
# The Python package, when it was built, lands in the prefix and imports.
if [ -f "$1/python/msdisf/__init__.py" ]; then
  site=$(find "$prefix" -path '*/msdisf/__init__.py' -printf '%h\n' | head -1)
  [ -n "$site" ] || { echo "the Python package was not installed" >&2; exit 1; }
  PYTHONPATH=$(dirname "$site") /usr/bin/python3 -c 'import msdisf; print("msdisf", msdisf.__version__)'
fi
