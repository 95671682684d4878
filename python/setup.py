"""Builds bmpvintage._core with CMake: the core library from the repository
around this folder, linked in statically, so the wheel needs nothing else."""

import os
import shutil
import subprocess
import sys
from pathlib import Path

from setuptools import Extension, setup
from setuptools.command.build_ext import build_ext

HERE = Path(__file__).resolve().parent


class CMakeBuild(build_ext):
    def build_extension(self, ext: Extension) -> None:
        if shutil.which("cmake") is None:
            raise RuntimeError("bmpvintage needs CMake 3.25 and a C++20 compiler to build "
                               "(Debian: apt-get install cmake g++)")
        if not (HERE.parent / "module" / "bmpv.h").is_file():
            raise RuntimeError("bmpvintage builds from the SorvaneBMPVintage source tree: "
                               "install it from the repository's python folder")
        build = Path(self.build_temp).resolve() / "cmake"
        target = Path(self.get_ext_fullpath(ext.name)).resolve()
        config = ["cmake", "-S", str(HERE), "-B", str(build),
                  f"-DPython3_EXECUTABLE={sys.executable}", "-DCMAKE_BUILD_TYPE=Release",
                  f"-DCMAKE_LIBRARY_OUTPUT_DIRECTORY={build / 'out'}"]
        if shutil.which("ninja"):
            config += ["-G", "Ninja"]
        if not (build / "CMakeCache.txt").is_file():
            subprocess.run(config, check=True)
        jobs = os.environ.get("CMAKE_BUILD_PARALLEL_LEVEL", "2")
        subprocess.run(["cmake", "--build", str(build), "--target", "_core", "-j", jobs],
                       check=True)
        built = [p for p in (build / "out").iterdir() if p.name.startswith("_core.")]
        if len(built) != 1:
            raise RuntimeError(f"CMake built {len(built)} modules named _core in {build / 'out'}")
        target.parent.mkdir(parents=True, exist_ok=True)
        shutil.copyfile(built[0], target)


setup(ext_modules=[Extension("bmpvintage._core", sources=[])], cmdclass={"build_ext": CMakeBuild})
