"""The extension curvedump._core for setuptools: the sources and the version
come from CMakeLists.txt, so that this build and CMake's cannot differ."""

import re
import sys
from pathlib import Path

from pybind11.setup_helpers import ParallelCompile, Pybind11Extension, build_ext, has_flag
from setuptools import setup

CMAKE = Path(__file__).with_name("CMakeLists.txt").read_text(encoding="utf-8")


def cmake_version(text):
    """The version in project(curvedump VERSION X.Y.Z ...)."""
    found = re.findall(r"^project\(curvedump VERSION (\d+\.\d+\.\d+)[ )]", text, re.M)
    if len(found) != 1:
        raise RuntimeError("CMakeLists.txt: no single project(curvedump VERSION X.Y.Z)")
    return found[0]


def cmake_core_sources(text):
    """The files of set(CURVEDUMP_CORE_SOURCES ...): plain paths src/NAME.cpp
    only, so that a list this cannot read fails here instead of building
    something else."""
    found = re.findall(r"^set\(CURVEDUMP_CORE_SOURCES\s([^)]*)\)", text, re.M)
    sources = found[0].split() if len(found) == 1 else []
    if not sources or not all(re.fullmatch(r"src/\w+\.cpp", s) for s in sources):
        raise RuntimeError("CMakeLists.txt: set(CURVEDUMP_CORE_SOURCES ...) is not a list "
                           "of src/NAME.cpp files")
    return sources


def system_calls_source():
    """The system calls of the platform built for, as CMake picks them."""
    return "src/system_calls_win32.cpp" if sys.platform == "win32" else "src/system_calls_posix.cpp"


class BuildExt(build_ext):
    """pybind11's build_ext, plus what CMake's build of the module has:
    no fused multiply-add where the compiler takes -ffp-contract=off."""

    def build_extensions(self):
        if self.compiler.compiler_type != "msvc" and has_flag(self.compiler, "-ffp-contract=off"):
            for extension in self.extensions:
                extension.extra_compile_args.append("-ffp-contract=off")
        super().build_extensions()


VERSION = cmake_version(CMAKE)
# Compiles the sources in parallel; NPY_NUM_BUILD_JOBS sets how many.
ParallelCompile("NPY_NUM_BUILD_JOBS").install()
setup(
    version=VERSION,
    ext_modules=[
        Pybind11Extension(
            "curvedump._core",
            ["python/core.cpp", *cmake_core_sources(CMAKE), system_calls_source()],
            include_dirs=["src"],
            define_macros=[("CURVEDUMP_VERSION", f'"{VERSION}"')],
            cxx_std=20,
        )
    ],
    cmdclass={"build_ext": BuildExt},
    # Its own folder under build/, apart from CMake's build/<preset>.
    options={"build": {"build_base": "build/setuptools"}},
)
