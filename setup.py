"""Builds the Python package through the CMake project: setuptools supplies the packaging,
CMake builds the extension module fibrejoin._fibrejoin with the interpreter running this script.

FIBREJOIN_BUILD_DIR names the build folder (default build-python); CMAKE_BUILD_PARALLEL_LEVEL
sets the number of compile jobs.
"""

import os
import shutil
import subprocess
import sys

from setuptools import Extension, setup
from setuptools.command.build_ext import build_ext

BUILD_DIR = os.path.abspath(os.environ.get("FIBREJOIN_BUILD_DIR", "build-python"))


class CMakeExtension(Extension):
    def __init__(self, name):
        super().__init__(name, sources=[])


class CMakeBuild(build_ext):
    def build_extension(self, ext):
        source = os.path.dirname(os.path.abspath(__file__))
        cmake_build = os.path.join(BUILD_DIR, "cmake")
        subprocess.check_call([
            "cmake", "-S", source, "-B", cmake_build, "-DCMAKE_BUILD_TYPE=Release",
            "-DFIBREJOIN_TESTS=OFF", "-DFIBREJOIN_PYTHON=ON",
            "-DPython3_EXECUTABLE=" + sys.executable,
        ])
        subprocess.check_call(["cmake", "--build", cmake_build, "--target", "_fibrejoin"])
        # Named with the interpreter's suffix, as setuptools names it.
        built = os.path.join(cmake_build, "python", self.get_ext_filename(ext.name))
        target = self.get_ext_fullpath(ext.name)
        os.makedirs(os.path.dirname(target), exist_ok=True)
        shutil.copyfile(built, target)


os.makedirs(BUILD_DIR, exist_ok=True)
setup(
    ext_modules=[CMakeExtension("fibrejoin._fibrejoin")],
    cmdclass={"build_ext": CMakeBuild},
    options={"build": {"build_base": BUILD_DIR}, "egg_info": {"egg_base": BUILD_DIR}},
)
