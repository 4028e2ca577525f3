"""Builds the extension module kvrworldmodel._core with CMake (see pyproject.toml).

The libraries are built static and linked into the module, so the installed
package needs nothing else at run time. CMAKE_BUILD_PARALLEL_LEVEL sets the
number of compile jobs (default: one per processor)."""

import os
import shutil
import subprocess
import sys
from pathlib import Path

from setuptools import Extension, setup
from setuptools.command.build_ext import build_ext

ROOT = Path(__file__).resolve().parent


class CMakeBuild(build_ext):
    def build_extension(self, ext: Extension) -> None:
        import pybind11

        build = Path(self.build_temp).resolve() / "cmake"
        options = {
            "CMAKE_BUILD_TYPE": "Release",
            "KVR_PYTHON_BUNDLE": "ON",
            "KVR_BUILD_TESTS": "OFF",
            "KVR_BUILD_EXAMPLES": "OFF",
            "KVR_BUILD_BENCH": "OFF",
            "Python_EXECUTABLE": sys.executable,
            "pybind11_DIR": pybind11.get_cmake_dir(),
        }
        subprocess.run(["cmake", "-S", str(ROOT), "-B", str(build)] + [f"-D{k}={v}" for k, v in options.items()],
                       check=True)
        jobs = os.environ.get("CMAKE_BUILD_PARALLEL_LEVEL") or str(os.cpu_count() or 1)
        subprocess.run(["cmake", "--build", str(build), "--target", "kvrworldmodel", "--parallel", jobs], check=True)
        built = next((build / "python" / "kvrworldmodel").glob("_core*" + Path(self.get_ext_filename("_core")).suffix))
        target = Path(self.get_ext_fullpath(ext.name))
        target.parent.mkdir(parents=True, exist_ok=True)
        shutil.copy2(built, target)


setup(ext_modules=[Extension("kvrworldmodel._core", sources=[])], cmdclass={"build_ext": CMakeBuild})
