#!/usr/bin/env bash
# The README's offline install into a virtual environment: a venv that sees
# Debian's numpy and pandas, pip with no package index at all, then an import
# and a small analysis inside the venv. Builds from a copy of the sources so
# the checkout stays clean. Usage: venv_install_test.sh SOURCE_DIR
set -euo pipefail
source_dir="$1"
work=$(mktemp -d)
trap 'rm -rf "$work"' EXIT
mkdir "$work/src"
tar -C "$source_dir" --exclude='./build*' --exclude=./.git --exclude=./data -cf - . | tar -C "$work/src" -xf -
/usr/bin/python3 -m venv --system-site-packages "$work/venv"
# No index and no local wheel folders: anything pip would have to fetch fails.
if ! env -u PIP_FIND_LINKS PIP_NO_INDEX=1 "$work/venv/bin/python" -m pip install --no-build-isolation "$work/src" \
    >"$work/pip.log" 2>&1; then
  tail -20 "$work/pip.log" >&2
  exit 1
fi
cd "$work"
"$work/venv/bin/python" - "$work/venv" <<'EOF'
import os
import sys

import numpy as np

import msdisf

assert os.path.realpath(msdisf.__file__).startswith(os.path.realpath(sys.argv[1])), msdisf.__file__
# One particle moving one unit along x per frame: msd = L^2, fs = J0(q L) in two dimensions.
frame = np.arange(20)
df = msdisf.analyse(frame.astype(float), np.zeros(20), frame, lags="max:3", q=[1.0])
assert list(df.index) == [1, 2, 3], list(df.index)
assert np.allclose(df["msd"], [1.0, 4.0, 9.0], rtol=0, atol=1e-12), df["msd"].tolist()
bessel_j0 = [0.7651976865579666, 0.22389077914123567, -0.26005195490193345]  # J0(1), J0(2), J0(3)
assert np.allclose(df["fs[1]"], bessel_j0, rtol=0, atol=1e-9), df["fs[1]"].tolist()
print("msdisf", msdisf.__version__, "installed in the venv and ran")
EOF
