"""Module frame: registration, signatures, argument binding, conversions,
OS error mapping, PanicException and the shape of the record classes."""
import errno
import importlib
import inspect
import os
import pathlib
import sys
import textwrap

import pytest

import platforms
import tilu
from colmap_writer import Cam, Img, Pt, cameras_bin, images_bin, points3D_bin
from helpers import panic_type, run_python, write

ALL = ["Camera", "Image", "Point3D", "read_images_bin", "read_cameras_bin",
       "read_points3D_bin", "compute_overlaps", "compute_overlap_percentages",
       "read_reconstruction_bin"]
PARAM = {n: ("points3D" if n.startswith("compute") else "path") for n in ALL[3:]}
PATH_FUNCS = [n for n, p in PARAM.items() if p == "path"]
METHODS = ["Image.relative_pose_from", "Image.relative_pose_to"]


@pytest.fixture
def model(tmp_path):
    """(camera, image, point, color) read from a small model."""
    d = tmp_path / "model"
    write(d, "cameras.bin", cameras_bin([Cam(1, 1, 640, 480, [1.0, 2.0, 3.0, 4.0])]))
    write(d, "images.bin", images_bin([Img(3, (1, 0, 0, 0), (0, 0, 0), 1, "a", [(1.0, 2.0, 9)])]))
    write(d, "points3D.bin", points3D_bin([Pt(9, (1, 2, 3), (1, 2, 3), 0.5, [(3, 0)])]))
    cams, imgs, pts = tilu.read_reconstruction_bin(str(d))
    return cams[1], imgs[3], pts[9], pts[9].color


def test_module_attributes():
    assert tilu.__all__ == ALL and type(tilu.__all__) is list
    assert tilu.__name__ == "tilu" and isinstance(tilu.__doc__, str) and tilu.__doc__.strip()
    assert all(hasattr(tilu, n) for n in ALL)
    assert not hasattr(tilu, "Color") and not hasattr(tilu, "PanicException")


@pytest.mark.parametrize("name", ALL[3:])
def test_function_signature(name):
    f = getattr(tilu, name)
    assert f.__text_signature__ == f"({PARAM[name]})"
    assert str(inspect.signature(f)) == f"({PARAM[name]})"
    assert f.__doc__ is None
    assert f.__name__ == f.__qualname__ == name
    assert f.__module__ == "tilu" and f.__self__ is tilu


@pytest.mark.parametrize("cls,meth,sig", [
    ("Camera", "K", "($self)"), ("Image", "get_tracked_point3D_ids", "($self)"),
    ("Image", "get_tracked_points2D", "($self)"),
    ("Image", "relative_pose_from", "($self, other)"), ("Image", "relative_pose_to", "($self, other)"),
])
def test_method_signature(cls, meth, sig):
    m = getattr(getattr(tilu, cls), meth)
    assert m.__text_signature__ == sig and m.__doc__ is None


def test_reimport_gives_same_module():
    saved = sys.modules.pop("tilu")
    try:
        again = importlib.import_module("tilu")
        assert again is saved and again.__all__ == ALL  # registration did not run again
    finally:
        sys.modules["tilu"] = saved


def test_subinterpreter_import_fails():
    code = textwrap.dedent("""
        import importlib, sys, tilu
        for name in ("_interpreters", "_xxsubinterpreters"):
            try:
                si = importlib.import_module(name)
                break
            except ImportError:
                si = None
        if si is None:
            sys.exit(77)
        try:
            iid = si.create(isolated=False)
        except TypeError:
            iid = si.create()
        print("RESULT", si.run_string(iid, "import tilu"))
    """)
    proc = run_python("-c", code, timeout=60)
    if proc.returncode == 77:
        pytest.skip("no subinterpreter support module")
    assert "ImportError" in proc.stdout + proc.stderr


def test_only_init_function_exported():
    symbols = platforms.exported_symbols(tilu.__file__)
    if symbols is None:
        pytest.skip("no nm here to list the module's symbols")
    assert symbols == {"PyInit_tilu"}


# ------------------------------------------------------------ argument binding

BINDING = {  # case -> (positional, keywords, message tail); "P" stands for the parameter
    "missing": ((), {}, "missing 1 required positional argument: 'P'"),
    "two": ((1, 2), {}, "takes 1 positional arguments but 2 were given"),
    "three": ((1, 2, 3), {}, "takes 1 positional arguments but 3 were given"),
    "multiple": ((1,), {"P": 2}, "got multiple values for argument 'P'"),
    "unexpected": ((), {"file": 1}, "got an unexpected keyword argument 'file'"),
    "unexpected_first": ((1,), {"zz": 1, "P": 2}, "got an unexpected keyword argument 'zz'"),
    "multiple_first": ((1,), {"P": 2, "zz": 1}, "got multiple values for argument 'P'"),
    "positional_first": ((1, 2), {"zz": 3}, "takes 1 positional arguments but 2 were given"),
}


@pytest.mark.parametrize("full", ALL[3:] + METHODS)
@pytest.mark.parametrize("case", BINDING)
def test_argument_binding(model, full, case):
    if full in METHODS:
        f, param = getattr(model[1], full.split(".")[1]), "other"
    else:
        f, param = getattr(tilu, full), PARAM[full]
    args, kwargs, tail = BINDING[case]
    with pytest.raises(TypeError) as ei:
        f(*args, **{param if k == "P" else k: v for k, v in kwargs.items()})
    assert type(ei.value) is TypeError
    assert str(ei.value) == f"{full}() {tail.replace('P', param)}"


@pytest.mark.parametrize("meth", ["K", "get_tracked_point3D_ids", "get_tracked_points2D"])
def test_no_argument_methods_refuse_arguments(model, meth):
    m = getattr(model[0] if meth == "K" else model[1], meth)
    for call in (lambda: m(1), lambda: m(x=1)):
        with pytest.raises(TypeError):
            call()
    m()  # still usable


@pytest.mark.parametrize("fn", PATH_FUNCS)
@pytest.mark.parametrize("value,qualname", [
    (5, "int"), (b"/tmp", "bytes"), (pathlib.Path("/tmp"), type(pathlib.Path()).__name__), (None, "NoneType"),
    (1.5, "float"), (type("Local", (), {"__qualname__": "Outer.<locals>.Local"})(),
                     "Outer.<locals>.Local"),
])
def test_path_conversion_message(fn, value, qualname):
    for call in (lambda: getattr(tilu, fn)(value), lambda: getattr(tilu, fn)(path=value)):
        with pytest.raises(TypeError) as ei:
            call()
        assert type(ei.value) is TypeError
        assert str(ei.value) == f"argument 'path': '{qualname}' object cannot be converted to 'PyString'"


def _target(tmp_path, fn):
    """(argument to pass, the file that the call opens first)."""
    if fn == "read_reconstruction_bin":
        return str(tmp_path / "m"), tmp_path / "m" / "cameras.bin"
    return str(tmp_path / "f.bin"), tmp_path / "f.bin"


@pytest.mark.parametrize("fn", PATH_FUNCS)
def test_str_subclass_keyword_and_surrogate_path(tmp_path, fn):
    arg, first = _target(tmp_path, fn)
    for name in ("cameras.bin", "images.bin", "points3D.bin"):
        write(tmp_path / "m", name, bytes(8))
    first.write_bytes(bytes(8))
    expected = ({}, {}, {}) if fn == "read_reconstruction_bin" else {}
    f = getattr(tilu, fn)
    assert f(type("S", (str,), {})(arg)) == expected
    assert f(path=arg) == expected
    with pytest.raises(UnicodeEncodeError):
        f(arg + "\udcff")


def _os_text(num):
    return f"{os.strerror(num)} (os error {num})"


@pytest.mark.parametrize("fn", PATH_FUNCS)
@pytest.mark.parametrize("kind", ["missing", "directory", "notdir", "nul",
                                  pytest.param("loop", marks=platforms.needs_symlinks)])
def test_os_errors(tmp_path, fn, kind):
    arg, first = _target(tmp_path, fn)
    first.parent.mkdir(parents=True, exist_ok=True)
    if kind == "directory":
        first.mkdir()
    elif kind == "notdir":
        first.parent.rmdir()
        first.parent.write_bytes(b"x")
    elif kind == "nul":
        arg += "\0x"
    elif kind == "loop":
        first.symlink_to(first)
    exc, text = {"missing": (FileNotFoundError, "No such file or directory (os error 2)"),
                 "directory": (OSError, "Is a directory (os error 21)"),
                 "notdir": (OSError, _os_text(errno.ENOTDIR)), "loop": (OSError, _os_text(errno.ELOOP)),
                 "nul": (OSError, "file name contained an unexpected NUL byte")}[kind]
    if platforms.WINDOWS and kind in ("notdir", "loop"):
        # Windows has causes of its own here (a path through a regular file is
        # not found): the module reports what Python's own open() does.
        with pytest.raises(OSError) as own:
            open(first, "rb")
        exc, text = type(own.value), _os_text(own.value.errno)
    with pytest.raises(OSError) as ei:
        getattr(tilu, fn)(arg)
    e = ei.value
    assert type(e) is exc and e.args == (text,) and str(e) == text
    assert e.errno is None and e.strerror is None and e.filename is None


@platforms.needs_permissions
def test_permission_error(tmp_path):
    p = write(tmp_path, "c.bin", bytes(8))
    os.chmod(p, 0)
    with pytest.raises(PermissionError) as ei:
        tilu.read_cameras_bin(p)
    assert ei.value.args == (_os_text(13),)


def test_panic_exception(tmp_path, capfd):
    P = panic_type()
    assert P.__name__ == "PanicException" and P.__bases__ == (BaseException,)
    assert isinstance(P.__doc__, str) and P.__doc__.strip()
    assert all(getattr(tilu, n) is not P for n in dir(tilu))
    capfd.readouterr()
    seen = []
    try:
        try:
            tilu.read_cameras_bin(write(tmp_path, "c.bin", b""))
        except Exception:
            seen.append("caught by except Exception")
    except BaseException as e:  # noqa: B036
        seen.append(e)
    assert len(seen) == 1 and type(seen[0]) is P  # the same type object every time
    assert seen[0].args == ("range end index 8 out of range for slice of length 0",)
    assert "range end index 8 out of range for slice of length 0" in capfd.readouterr().err
    assert tilu.read_cameras_bin(write(tmp_path, "ok.bin", bytes(8))) == {}  # next call is fine


# -------------------------------------------------------------------- classes

CLASS_ATTRS = {
    "Camera": ["camera_id", "width", "height", "params", "model_id"],
    "Image": ["image_id", "camera_id", "name", "rot", "trans", "points2D", "point3D_ids"],
    "Point3D": ["id", "xyz", "color", "error", "track"],
    "Color": ["r", "g", "b"],
}
INDEX = {name: i for i, name in enumerate(CLASS_ATTRS)}


@pytest.mark.parametrize("name", CLASS_ATTRS)
def test_class_shape(model, name):
    obj = model[INDEX[name]]
    cls = type(obj)
    assert name == "Color" or getattr(tilu, name) is cls
    assert cls.__name__ == cls.__qualname__ == name and cls.__module__ == "builtins"
    assert repr(cls) == f"<class 'builtins.{name}'>"
    for args in ((), (1,), (1, 2, 3)):
        with pytest.raises(TypeError, match="^No constructor defined$"):
            cls(*args)
    with pytest.raises(TypeError):
        type("Sub", (cls,), {})
    assert not hasattr(obj, "__dict__")
    with pytest.raises(AttributeError):
        obj.extra = 1
    assert str(obj) == repr(obj)
    assert obj == obj and obj != model[(INDEX[name] + 1) % 4]  # identity only
    assert hash(obj) == object.__hash__(obj)


@pytest.mark.parametrize("name,attr", [(c, a) for c, attrs in CLASS_ATTRS.items() for a in attrs])
def test_attributes_read_only(model, name, attr):
    obj = model[INDEX[name]]
    show = (lambda: str(obj.color)) if attr == "color" else (lambda: repr(getattr(obj, attr)))
    before = show()
    with pytest.raises(AttributeError):
        setattr(obj, attr, getattr(obj, attr))
    with pytest.raises(AttributeError):
        delattr(obj, attr)
    assert show() == before
