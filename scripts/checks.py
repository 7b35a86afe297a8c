"""Checks of the tree's text, each failure naming the file that disagrees
(a second, no build):

    scripts/checks [layers | headers | copies]...   (default: all three)

layers   an #include of src/, tools/ or fuzz/ that runs back up the layers of
         src/README.md (LAYERS below), Python.h included by a file other than
         py_ref.hpp, a file in no layer; a source of src/ missing from
         src/sources.txt or from its layer's part of src/README.md's drawing.
headers  a source of src/ other than the platform files that includes a system
         header (each includes C++ standard headers, Python.h and src/ only).
copies   the facts that other files repeat, against their one home:
         matrix.toml: the classifiers, requires-python, cibuildwheel's build list
         (pyproject.toml; its zig is read from the matrix), the release workflow's cibuildwheel
         and its jobs of scripts/wheels,
         CMakeLists.txt's lowest Python, the version gates of src/ (an upper
         bound "PY_VERSION_HEX < 3.N" must be one past the newest CPython tested);
         tilu-stubs (which stubtest holds to the module): each class's
         attributes in tests/test_module.py, tests/helpers.py's views,
         tests/test_hardening.py's workload and the README's API reference.
"""
from __future__ import annotations

import ast
import re
import sys
import tomllib
from collections.abc import Callable
from pathlib import Path

import matrix

ROOT = matrix.ROOT
# Lowest first: (name, files); files of src/ by name, others by path.
LAYERS = [
    ("support", "errors.hpp messages.hpp function_ref.hpp packed.hpp file_span.hpp interrupt.hpp interrupt.cpp"
                " system.hpp platform.hpp platform.cpp platform_posix.cpp platform_windows.cpp shared_file.hpp"
                " shared_file.cpp utf8.hpp utf8.cpp"),
    ("records", "types.hpp camera_models.hpp image.hpp point3d.hpp"),
    ("computations", "text_forms.hpp text_forms.cpp types.cpp camera_models.cpp image.cpp point3d.cpp"),
    ("readers, covisibility", "colmap_io.hpp colmap_io.cpp utils.hpp utils.cpp tools/core_driver.cpp"
                              " fuzz/fuzz_cameras.cpp fuzz/fuzz_images.cpp fuzz/fuzz_points3D.cpp"
                              " fuzz/fuzz_covisibility.cpp"),
    ("Python helpers", "py_ref.hpp py_errors.hpp py_errors.cpp py_values.hpp py_values.cpp py_dicts.hpp"
                       " py_dicts.cpp py_args.hpp py_args.cpp py_class.hpp py_class.cpp"),
    ("record classes", "py_records.hpp py_camera_models.cpp py_image.cpp py_point3d.cpp py_types.cpp"),
    ("module", "module.cpp"),
]
INCLUDE = re.compile(r'^\s*#\s*include\s*"([^"]+)"', re.M)
SYSTEM_INCLUDE = re.compile(r"^\s*#\s*include\s*<([^>]+)>", re.M)
Problems = list[str]


def sources() -> list[Path]:
    return sorted(p for pattern in ("src/*.hpp", "src/*.cpp", "tools/*.cpp", "fuzz/*.cpp") for p in ROOT.glob(pattern))


def drawing_parts() -> dict[str, str]:
    """src/README.md's drawing of the layers: the text beside each layer's name."""
    drawing = (ROOT / "src" / "README.md").read_text().split("```")[1]
    parts: dict[str, str] = {}
    name = ""
    for line in drawing.splitlines():
        for layer, _ in LAYERS:
            if line.startswith(f" {layer} "):
                name = layer
        if name:
            parts[name] = parts.get(name, "") + line + "\n"
    return parts


def layers() -> Problems:
    level = {f: (i, name) for i, (name, files) in enumerate(LAYERS) for f in files.split()}
    parts = drawing_parts()
    listed = set((ROOT / "src" / "sources.txt").read_text().split())
    problems = []
    for path in sources():
        rel = str(path.relative_to(ROOT))
        f = rel.removeprefix("src/")
        if f not in level:
            problems.append(f"{rel}: in no layer of LAYERS in scripts/checks.py")
            continue
        text = path.read_text()
        for inc in INCLUDE.findall(text):
            if inc not in level:
                problems.append(f'{rel} includes "{inc}", which is in no layer')
            elif level[inc][0] > level[f][0]:
                problems.append(f"{rel} ({level[f][1]}) includes {inc} ({level[inc][1]}): an arrow back up the layers")
        if "Python.h" in SYSTEM_INCLUDE.findall(text) and f != "py_ref.hpp":
            problems.append(f"{rel} includes Python.h, which only py_ref.hpp includes")
        if rel.startswith("src/"):
            if f.endswith(".cpp") and rel not in listed:
                problems.append(f"{rel}: not in src/sources.txt, so CMake and scripts/cross do not compile it")
            if not re.search(rf"\b({re.escape(f)}|{re.escape(path.stem)})\b(?!\.)", parts.get(level[f][1], "")) \
                    and f not in parts.get(level[f][1], ""):
                problems.append(f"{rel}: not named in the part of src/README.md's drawing for {level[f][1]}")
    print(f"layers: {len(sources())} files")
    return problems


def headers() -> Problems:
    platform_files = {"platform_posix.cpp", "platform_windows.cpp"}
    problems = [f"{p.relative_to(ROOT)}: #include <{h}>, a system header outside the platform files"
                for p in sorted([*ROOT.glob("src/*.cpp"), *ROOT.glob("src/*.hpp")]) if p.name not in platform_files
                for h in SYSTEM_INCLUDE.findall(p.read_text()) if not re.fullmatch(r"[a-z_]+|Python\.h", h)]
    print(f"headers: {len(problems)} system headers outside the platform files")
    return problems


# ------------------------------------------------------------------- copies
def matrix_copies() -> Problems:
    m = matrix.load()
    released = [p for p in m.pythons if p.release]
    lowest, newest = min(p.minor for p in released), max(p.minor for p in m.select(ci=True))
    project = tomllib.loads((ROOT / "pyproject.toml").read_text())
    problems = []

    def same(where: str, have: object, want: object) -> None:
        if have != want:
            problems.append(f"{where} is {have!r}, matrix.toml says {want!r}")

    classifiers = [c.rsplit(":: ", 1)[1] for c in project["project"]["classifiers"]
                   if re.fullmatch(r"Programming Language :: Python :: 3\.\d+", c)]
    same("pyproject.toml's classifiers of Python versions", classifiers, sorted({p.number for p in released}))
    same("pyproject.toml's requires-python", project["project"]["requires-python"], f">=3.{lowest}")
    cibw = project["tool"]["cibuildwheel"]
    same("pyproject.toml's [tool.cibuildwheel] build", cibw["build"],
         [f"{p.tag}-*" for p in released if p.release == "cibuildwheel"])
    if "scripts/matrix.py pin ziglang" not in cibw["linux"]["before-all"]:
        problems.append("pyproject.toml's [tool.cibuildwheel.linux] before-all does not take zig's pin from"
                        " scripts/matrix.py")
    workflow = (ROOT / ".github" / "workflows" / "wheels.yml").read_text()
    for p in released:
        job = f"scripts/wheels --platform manylinux_x86_64 {p.version}"
        if p.release == "scripts/wheels" and job not in workflow:
            problems.append(f".github/workflows/wheels.yml does not run {job}, as matrix.toml says")
    same(".github/workflows/wheels.yml's pypa/cibuildwheel", re.findall(r"pypa/cibuildwheel@v(\S+)", workflow),
         [m.pins["cibuildwheel"]])
    same("CMakeLists.txt's find_package(Python ...)",
         re.findall(r"find_package\(Python (\S+)", (ROOT / "CMakeLists.txt").read_text()), [f"3.{lowest}"])
    for path in sorted(ROOT.glob("src/*.?pp")):
        for n, line in enumerate(path.read_text().splitlines(), 1):
            for op, hexa in re.findall(r"PY_VERSION_HEX\s*(<|>=)\s*0x03([0-9A-Fa-f]{2})0000", line):
                minor, where = int(hexa, 16), f"{path.relative_to(ROOT)}:{n}"
                if op == "<" and minor != newest + 1:
                    problems.append(f"{where}: the bound 3.{minor} of what is known is not one past 3.{newest}, the"
                                    " newest CPython tested (matrix.toml): check the code for the new version")
                if op == ">=" and not lowest < minor <= newest:
                    problems.append(f"{where}: the gate 3.{minor} is outside the CPythons of matrix.toml")
    return problems


def stub_attributes() -> dict[str, list[str]]:
    """Each class of tilu-stubs with its properties, in the stubs' order."""
    tree = ast.parse((ROOT / "tilu-stubs" / "__init__.pyi").read_text())
    return {c.name: [f.name for f in c.body if isinstance(f, ast.FunctionDef)
                     and any(isinstance(d, ast.Name) and d.id == "property" for d in f.decorator_list)]
            for c in tree.body if isinstance(c, ast.ClassDef)}


def read_in(path: Path, function: str) -> set[str]:
    """The attribute names that the function of the Python file path reads."""
    tree = ast.parse(path.read_text())
    fn = next(f for f in tree.body if isinstance(f, ast.FunctionDef) and f.name == function)
    return {n.attr for n in ast.walk(fn) if isinstance(n, ast.Attribute)}


def attribute_copies() -> Problems:
    attrs = stub_attributes()
    problems = []
    module_test = ast.parse((ROOT / "tests" / "test_module.py").read_text())
    listed = next(ast.literal_eval(s.value) for s in module_test.body if isinstance(s, ast.Assign)
                  and any(isinstance(t, ast.Name) and t.id == "CLASS_ATTRS" for t in s.targets))
    for cls in sorted(set(listed) | set(attrs)):
        if listed.get(cls) != attrs.get(cls):
            problems.append(f"tests/test_module.py's CLASS_ATTRS[{cls!r}] is {listed.get(cls)}, the stubs' {cls} has"
                            f" {attrs.get(cls)}")
    views = {"Camera": "cam_view", "Image": "img_view", "Point3D": "pt_view", "Color": "pt_view"}
    for cls, names in attrs.items():
        missing = set(names) - read_in(ROOT / "tests" / "helpers.py", views[cls])
        if missing:
            problems.append(f"tests/helpers.py's {views[cls]} does not read {cls}'s {sorted(missing)}")
    missing = {a for names in attrs.values() for a in names} - read_in(ROOT / "tests" / "test_hardening.py", "workload")
    if missing:
        problems.append(f"tests/test_hardening.py's workload does not read {sorted(missing)}")
    readme = (ROOT / "README.md").read_text()
    for cls, names in attrs.items():
        row = re.search(rf"^\| `{cls}` \|(.*)\|$", readme, re.M)
        documented = re.findall(r"`(\w+):", row.group(1)) if row else []
        if documented != names:
            problems.append(f"README.md's API reference lists {cls}'s attributes as {documented}, the stubs as {names}")
    return problems


CHECKS: dict[str, Callable[[], Problems]] = {
    "layers": layers, "headers": headers, "copies": lambda: matrix_copies() + attribute_copies()}


def main() -> int:
    names = sys.argv[1:] or list(CHECKS)
    unknown = [n for n in names if n not in CHECKS]
    if unknown:
        sys.exit(f"unknown check {' '.join(unknown)} ({' '.join(CHECKS)})")
    problems = [p for n in names for p in CHECKS[n]()]
    for p in problems:
        print("  PROBLEM:", p)
    print(f"checks {' '.join(names)}: {'FAILED' if problems else 'passed'}")
    return 1 if problems else 0


if __name__ == "__main__":
    sys.exit(main())
