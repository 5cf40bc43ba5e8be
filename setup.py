"""The package build: setuptools asks the project's own CMake build for the
extension module (no second build system), and the wheel carries it with its
type stubs (halcyra.pyi beside it, and the stub-only package halcyra-stubs)
and the reader tools, halcyra_tools.

The extension is built for the interpreter running this build, in Release
at -O2, without the tests and benchmarks, in build-wheel/cmake (kept, so that a
second build is incremental). It links Debian's CRoaring, ICU and libstemmer
dynamically."""

import os
import shutil
import subprocess
import sys

from setuptools import Extension, setup
from setuptools.command.build_ext import build_ext

ROOT = os.path.dirname(os.path.abspath(__file__))
BUILD = os.path.join(ROOT, "build-wheel")
os.makedirs(BUILD, exist_ok=True)  # egg_info writes into it


class CMakeBuild(build_ext):
    def build_extension(self, ext):
        cmake_dir = os.path.join(BUILD, "cmake")
        # -O2, the optimisation the tests run at.
        subprocess.run(["cmake", "-S", ROOT, "-B", cmake_dir, "-DCMAKE_BUILD_TYPE=Release",
                        "-DCMAKE_CXX_FLAGS_RELEASE=-O2 -DNDEBUG", "-DCMAKE_C_FLAGS_RELEASE=-O2 -DNDEBUG",
                        f"-DPython3_EXECUTABLE={sys.executable}", "-DHALCYRA_TESTS=OFF", "-DHALCYRA_BENCH=OFF"],
                       check=True)
        subprocess.run(["cmake", "--build", cmake_dir, "-j", str(os.cpu_count() or 1), "--target", ext.name],
                       check=True)
        target = self.get_ext_fullpath(ext.name)
        os.makedirs(os.path.dirname(target), exist_ok=True)
        shutil.copyfile(os.path.join(cmake_dir, "python", self.get_ext_filename(ext.name)), target)
        shutil.copyfile(os.path.join(ROOT, "python", "halcyra.pyi"),
                        os.path.join(os.path.dirname(target), "halcyra.pyi"))


setup(
    # The stub-only package's name is not an identifier, which the pyproject
    # table does not accept.
    packages=["halcyra_tools", "halcyra-stubs"],
    package_dir={"halcyra-stubs": "python/halcyra-stubs"},
    package_data={"halcyra-stubs": ["*.pyi"]},
    ext_modules=[Extension("halcyra", sources=[])],
    cmdclass={"build_ext": CMakeBuild},
    options={"build": {"build_base": os.path.relpath(os.path.join(BUILD, "setuptools"))},
             "egg_info": {"egg_base": os.path.relpath(BUILD)}},
)
