# Builds the compiled part of the msdisf Python package from the engine's
# sources and the sums file's (which needs nothing but the engine);
# everything else is in pyproject.toml. With Debian's packages only:
#   /usr/bin/python3 -m pip install . --no-build-isolation --break-system-packages
from glob import glob

from pybind11.setup_helpers import Pybind11Extension
from setuptools import setup

engine = Pybind11Extension(
    "msdisf._core",
    sorted(["python/src/module.cc", "io/sums_file.cc"] + glob("engine/*.cc")),
    include_dirs=["."],
    cxx_std=20,
    # The numbers must come from the arithmetic as written: no fused
    # multiply-adds, no value-changing optimisations.
    extra_compile_args=["-O2", "-fopenmp", "-ffp-contract=off", "-fno-fast-math"],
    extra_link_args=["-fopenmp"],
    libraries=["fftw3_omp", "fftw3"],
)

# Out of the way of the CMake build folder.
setup(ext_modules=[engine], options={"build": {"build_base": "build-python"}})
