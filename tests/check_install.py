"""Offline check of `pip install .`: the pyproject's metadata, and the build and install that
scikit-build-core would run, done by hand for the interpreter that runs this script.

    python3.12 tests/check_install.py --build-dir build/install-check/cp312 [--cmake cmake]

1. Validates pyproject.toml with tomllib: name, version (equal to CMakeLists.txt's project
   version), requires-python, license, classifiers, build backend, the build settings, and that
   the stub finitemu.pyi is installed beside the module by an install rule of the component the
   wheel takes.
2. Configures the project as the backend does (SKBUILD variables, the pyproject's build type and
   cmake.define entries, this interpreter as Python_EXECUTABLE), builds it and installs the
   wheel's component into an empty staging directory.
3. Checks that the staging directory holds exactly the module and the stub, imports the module
   from there in an isolated interpreter, checks it answers, and runs tests/python/test_stub.py
   against the staged module.
Exits non-zero on the first failure, with the reason."""

import argparse
import os
import re
import shutil
import subprocess
import sys
import sysconfig
import tomllib
from pathlib import Path

SOURCE_DIR = Path(__file__).resolve().parents[1]
STUB = SOURCE_DIR / "src" / "finitemu.pyi"
NAMES = ["witt_mao_magnification", "integrated_witt_mao_magnification",
         "integrated_flux_map_witt_mao_magnification", "multi_witt_mao_magnification",
         "heyrovsky_magnification", "integrated_heyrovsky_magnification",
         "integrated_flux_map_heyrovsky_magnification",
         "discrete_flux_map_heyrovsky_magnification"]


# The [project] table's keys (PEP 621, with license-files from PEP 639).
PEP_621_KEYS = {"name", "version", "description", "readme", "requires-python", "license",
                "license-files", "authors", "maintainers", "keywords", "classifiers", "urls",
                "scripts", "gui-scripts", "entry-points", "dependencies", "optional-dependencies",
                "dynamic"}


class CheckFailed(Exception):
    pass


def require(condition, message):
    if not condition:
        raise CheckFailed(message)


def cmake_project_version():
    text = (SOURCE_DIR / "CMakeLists.txt").read_text()
    match = re.search(r"project\(\s*finitemu\s+VERSION\s+([0-9.]+)", text)
    require(match, "CMakeLists.txt: no project(finitemu VERSION x.y.z)")
    return match.group(1)


def minimum_python(requires_python):
    match = re.fullmatch(r">=\s*(\d+)\.(\d+)", requires_python)
    require(match, f"requires-python {requires_python!r} is not of the form '>=X.Y'")
    return int(match.group(1)), int(match.group(2))


def validate_metadata():
    """The pyproject's settings, checked; returns them."""
    pyproject = tomllib.loads((SOURCE_DIR / "pyproject.toml").read_text())
    backend = pyproject.get("build-system", {})
    require(backend.get("build-backend") == "scikit_build_core.build",
            f"build-backend is {backend.get('build-backend')!r}, not scikit_build_core.build")
    requires = [r.replace(" ", "") for r in backend.get("requires", [])]
    require(any(r.startswith("scikit-build-core") for r in requires),
            "build-system.requires does not name scikit-build-core")

    project = pyproject["project"]
    unknown = set(project) - PEP_621_KEYS
    require(not unknown, f"[project] keys that no backend accepts: {sorted(unknown)}")
    require(project.get("name") == "finitemu", f"name is {project.get('name')!r}")
    cmake_version = cmake_project_version()
    require(project.get("version") == cmake_version,
            f"version {project.get('version')!r} differs from CMakeLists.txt's {cmake_version}")
    require(project.get("requires-python") == ">=3.12",
            f"requires-python is {project.get('requires-python')!r}, not '>=3.12'")
    minimum = minimum_python(project["requires-python"])
    require((SOURCE_DIR / project.get("readme", "")).is_file(), "readme file missing")

    # PEP 639: an SPDX expression and the files it ships; then no License :: classifier.
    require(isinstance(project.get("license"), str) and project["license"].strip(),
            "license is not an SPDX expression string")
    for pattern in project.get("license-files", []):
        require(list(SOURCE_DIR.glob(pattern)), f"license file {pattern!r} missing")
    require(project.get("license-files"), "license-files names no file")

    classifiers = project.get("classifiers", [])
    require(classifiers == sorted(set(classifiers), key=classifiers.index), "duplicate classifiers")
    require(not any(c.startswith("License ::") for c in classifiers),
            "a License :: classifier beside an SPDX license expression (PEP 639 forbids both)")
    for c in classifiers:
        require(re.fullmatch(r"[A-Za-z][\w .+/-]*( :: [\w .+/()-]+)+", c),
                f"malformed classifier {c!r}")
    versions = [tuple(map(int, m.groups())) for c in classifiers
                if (m := re.fullmatch(r"Programming Language :: Python :: (\d+)\.(\d+)", c))]
    require(versions, "no Programming Language :: Python :: 3.X classifier")
    require(min(versions) == minimum,
            f"the oldest Python classifier {min(versions)} is not requires-python's {minimum}")
    for needed in ("Programming Language :: Python :: Implementation :: CPython",
                   "Typing :: Typed", "Topic :: Scientific/Engineering :: Astronomy"):
        require(needed in classifiers, f"classifier {needed!r} missing")

    build = pyproject["tool"]["scikit-build"]
    require(build["cmake"]["build-type"] == "Release", "cmake.build-type is not Release")
    require(build["wheel"]["packages"] == [], "wheel.packages would add a Python package")
    components = build["install"]["components"]
    defines = build["cmake"]["define"]
    require(defines.get("FINITEMU_BUILD_TESTS") == "OFF", "the wheel build would build the tests")
    require(defines.get("FINITEMU_BUILD_BENCH") == "OFF", "the wheel build would build benchmarks")

    # The stub: installed beside the module, by a rule of a component the wheel takes.
    require(STUB.is_file(), f"{STUB} missing")
    rules = (SOURCE_DIR / "cmake" / "FinitemuPython.cmake").read_text()
    beside = r"\s+DESTINATION\s+\.\s+COMPONENT\s+(\w+)\)"  # "." is the top of site-packages
    stub_rule = re.search(r"install\(FILES\s+\S*finitemu\.pyi" + beside, rules)
    module_rule = re.search(r"install\(TARGETS\s+\S+\s+LIBRARY" + beside, rules)
    require(stub_rule and stub_rule.group(1) in components,
            "no install rule puts finitemu.pyi beside the module in the wheel's component")
    require(module_rule and module_rule.group(1) in components,
            "no install rule puts the module into the wheel's component")
    return pyproject, minimum


def run(command, **kwargs):
    shown = ["<script>" if "\n" in str(part) else str(part) for part in command]
    print("+", " ".join(shown), flush=True)
    completed = subprocess.run(command, **kwargs)
    require(completed.returncode == 0, f"exit status {completed.returncode}: {command[0]}")


def build_and_stage(pyproject, cmake, build_dir, jobs):
    build = pyproject["tool"]["scikit-build"]
    staging = build_dir / "staging"
    shutil.rmtree(staging, ignore_errors=True)
    staging.mkdir(parents=True)
    version = pyproject["project"]["version"]
    arguments = [
        f"-DSKBUILD=2", "-DSKBUILD_STATE=wheel",
        f"-DSKBUILD_PROJECT_NAME={pyproject['project']['name']}",
        f"-DSKBUILD_PROJECT_VERSION={version}", f"-DSKBUILD_PROJECT_VERSION_FULL={version}",
        f"-DSKBUILD_PLATLIB_DIR={staging}", f"-DSKBUILD_SOABI={sysconfig.get_config_var('SOABI')}",
        f"-DPython_EXECUTABLE={sys.executable}",
        f"-DPython_INCLUDE_DIR={sysconfig.get_paths()['include']}",
        "-DPython_FIND_REGISTRY=NEVER",
        f"-DCMAKE_BUILD_TYPE={build['cmake']['build-type']}",
        f"-DCMAKE_INSTALL_PREFIX={staging}",
    ] + [f"-D{key}={value}" for key, value in build["cmake"]["define"].items()]
    run([cmake, "-S", SOURCE_DIR, "-B", build_dir / "build", *arguments])
    run([cmake, "--build", build_dir / "build", "--config", build["cmake"]["build-type"],
         f"-j{jobs}"])
    for component in build["install"]["components"]:
        strip = ["--strip"] if build["install"].get("strip") else []
        run([cmake, "--install", build_dir / "build", "--prefix", staging,
             "--component", component, *strip])
    return staging


IMPORT_CHECK = """
import math, sys
staging = sys.argv[1]
sys.path.insert(0, staging)
import finitemu
assert finitemu.__file__.startswith(staging + "/"), finitemu.__file__
names = sys.argv[2].split(",")
assert set(finitemu.__all__) <= set(names), finitemu.__all__
assert finitemu.__all__ == [n for n in names if n in finitemu.__all__], finitemu.__all__
# Closed forms: a lens at the centre of a uniform disk of radius rho gives sqrt(rho^2 + 4) / rho;
# a ring of radius r centred on the lens gives the point-source A0(r / R), R = re / rstar.
[centred] = finitemu.witt_mao_magnification([0.0], 1.0, 0.5)
assert math.isclose(centred, math.sqrt(4.25) / 0.5, rel_tol=1e-12), centred
u = 0.5 / 2.0
ring = finitemu.heyrovsky_magnification(0.0, 0.5, 2.0, 1.0)
assert math.isclose(ring, (u * u + 2) / (u * math.sqrt(u * u + 4)), rel_tol=1e-12), ring
print(f"staged {finitemu.__file__} answers ({len(finitemu.__all__)} functions)")
"""


def check_staged(staging):
    suffix = sysconfig.get_config_var("EXT_SUFFIX")
    found = sorted(p.name for p in staging.rglob("*") if p.is_file())
    require(found == sorted([f"finitemu{suffix}", "finitemu.pyi"]),
            f"the staged tree holds {found}, not the module {'finitemu' + suffix} and its stub")
    require((staging / "finitemu.pyi").read_bytes() == STUB.read_bytes(),
            "the staged stub differs from src/finitemu.pyi")
    run([sys.executable, "-I", "-c", IMPORT_CHECK, str(staging), ",".join(NAMES)])
    tests = SOURCE_DIR / "tests" / "python"
    env = dict(os.environ, PYTHONPATH=os.pathsep.join([str(staging), str(tests)]),
               FINITEMU_EXPECT_STUB_BESIDE_MODULE="1")
    run([sys.executable, "-m", "unittest", "-v", "test_stub"], cwd=tests, env=env)


def main():
    parser = argparse.ArgumentParser(description=__doc__.splitlines()[0])
    parser.add_argument("--build-dir", type=Path, required=True)
    parser.add_argument("--cmake", default="cmake")
    parser.add_argument("--jobs", type=int, default=int(os.environ.get("JOBS", "2")))
    args = parser.parse_args()
    try:
        pyproject, minimum = validate_metadata()
        print("pyproject.toml: metadata valid")
        require(sys.version_info[:2] >= minimum, f"{sys.executable} is older than "
                f"requires-python {pyproject['project']['requires-python']}")
        staging = build_and_stage(pyproject, args.cmake, args.build_dir.resolve(), args.jobs)
        check_staged(staging)
    except CheckFailed as failure:
        print(f"install check FAILED: {failure}", file=sys.stderr)
        return 1
    print(f"install check passed for {sys.executable}")
    return 0


if __name__ == "__main__":
    sys.exit(main())
