"""Builds the sorvik Python package's extension with the project's CMake build.

pip runs this through setuptools (``pip install --no-build-isolation .``);
everything the build needs comes from the system's packages, and a missing
one is named before anything is compiled.
"""

import os
import shutil
import subprocess
import sys
import sysconfig
from pathlib import Path

from setuptools import Extension, setup
from setuptools.command.build_ext import build_ext

ROOT = Path(__file__).resolve().parent


def missing_prerequisites():
    """The Debian packages the build needs and this machine lacks."""
    missing = []
    if shutil.which("cmake") is None:
        missing.append("cmake")
    if shutil.which(os.environ.get("CXX", "c++")) is None:
        missing.append("g++")
    if not (Path(sysconfig.get_paths()["include"]) / "Python.h").exists():
        missing.append("python3-dev")
    cmake_dirs = ["/usr/lib/cmake", "/usr/share/cmake", "/usr/local/lib/cmake", "/usr/local/share/cmake"]
    if not any((Path(d) / "pybind11").is_dir() for d in cmake_dirs):
        missing.append("pybind11-dev")
    if not any(Path(d, "fftw3.h").exists() for d in ["/usr/include", "/usr/local/include"]):
        missing.append("libfftw3-dev")
    try:
        import numpy  # noqa: F401
    except ImportError:
        missing.append("python3-numpy")
    return missing


class CMakeExtension(Extension):
    def __init__(self, name):
        super().__init__(name, sources=[])


class CMakeBuild(build_ext):
    def build_extension(self, ext):
        missing = missing_prerequisites()
        if missing:
            raise SystemExit(
                "sorvik: the build needs these Debian packages, which are not installed: "
                + " ".join(missing)
                + "\n  install them with: apt-get install " + " ".join(missing))
        build = Path(self.build_temp).resolve() / "cmake"
        configure = [
            "cmake", "-S", str(ROOT), "-B", str(build),
            "-DCMAKE_BUILD_TYPE=Release",
            f"-DPython3_EXECUTABLE={sys.executable}",
            "-DSORVIK_PYTHON_ONLY=ON",
        ]
        subprocess.run(configure, check=True)
        jobs = str(os.cpu_count() or 1)
        subprocess.run(["cmake", "--build", str(build), "--target", "sorvik_python", "-j", jobs],
                       check=True)
        built = next((build / "python" / "sorvik").glob("_sorvik*" + sysconfig.get_config_var("EXT_SUFFIX")))
        target = Path(self.get_ext_fullpath(ext.name))
        target.parent.mkdir(parents=True, exist_ok=True)
        shutil.copyfile(built, target)


setup(ext_modules=[CMakeExtension("sorvik._sorvik")], cmdclass={"build_ext": CMakeBuild})
