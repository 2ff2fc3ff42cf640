"""The module object, the class object and their fixed attributes."""
import gc
import os
import re
import shutil
import subprocess
import sys
import weakref

import pytest

import quorl_api
from quorl_api import PyGraphDiff

from conftest import METHODS, STATIC, python_output

PY_TPFLAGS_BASETYPE = 1 << 10
PY_TPFLAGS_HAVE_GC = 1 << 14


def test_module_attributes():
    assert quorl_api.__name__ == "quorl_api"
    assert quorl_api.__doc__ == ""
    assert type(quorl_api.__all__) is list
    assert quorl_api.__all__ == ["PyGraphDiff"]
    assert quorl_api.PyGraphDiff is PyGraphDiff
    public = [n for n in dir(quorl_api) if not n.startswith("__")]
    # the tables' type is there for isinstance and typing, outside __all__
    assert public == ["PyDiffTable", "PyGraphDiff", "_restore"]
    assert quorl_api.PyDiffTable.__module__ == "quorl_api"
    assert not hasattr(quorl_api, "PanicException")


def test_pickle_hook():
    # Pickles record the hook by module and name, and find it there again.
    restore = quorl_api._restore
    assert type(restore) is type(len)
    assert restore.__module__ == "quorl_api"
    assert restore.__name__ == restore.__qualname__ == "_restore"
    assert restore.__text_signature__ == "($module, data, sizes=())"
    assert restore.__doc__.startswith("Rebuild a pickled PyGraphDiff")
    assert PyGraphDiff().__reduce__()[0] is restore


def test_class_names_and_layout():
    assert isinstance(PyGraphDiff, type)
    assert PyGraphDiff.__module__ == "builtins"
    assert PyGraphDiff.__name__ == "PyGraphDiff"
    assert PyGraphDiff.__qualname__ == "PyGraphDiff"
    assert PyGraphDiff.__bases__ == (object,)
    assert PyGraphDiff.__text_signature__ == "()"
    assert PyGraphDiff.__doc__ == ""
    assert PyGraphDiff.__dictoffset__ == 0
    assert PyGraphDiff.__weakrefoffset__ == 0
    assert not PyGraphDiff.__flags__ & PY_TPFLAGS_BASETYPE
    assert not PyGraphDiff.__flags__ & PY_TPFLAGS_HAVE_GC


def test_method_table():
    listed = [m.name for m in METHODS]
    # in the order of the method table, the methods of the object protocols
    # among them, and no others
    assert [n for n in vars(PyGraphDiff) if n in listed] == listed
    assert [n for n in vars(PyGraphDiff) if not n.startswith("__")] == [n for n in listed if not n.startswith("__")]
    for m in METHODS:
        method = getattr(PyGraphDiff, m.name)
        assert method.__text_signature__ == m.signature, m.name
        assert method.__doc__ is None, m.name
        assert method.__name__ == m.name
        assert isinstance(vars(PyGraphDiff)[m.name], staticmethod) == (m.access == STATIC), m.name
    assert PyGraphDiff.add_node.__qualname__ == "PyGraphDiff.add_node"
    assert "__repr__" in vars(PyGraphDiff)


def test_subclassing_refused():
    with pytest.raises(TypeError):
        type("Sub", (PyGraphDiff,), {})


def test_no_instance_attributes_and_no_weakrefs():
    d = PyGraphDiff()
    with pytest.raises(AttributeError):
        d.anything = 1
    with pytest.raises(AttributeError):
        d.num_nodes = 1
    assert not hasattr(d, "__dict__")
    with pytest.raises(TypeError):
        weakref.ref(d)


def test_instances_not_tracked_by_cycle_collector():
    d = PyGraphDiff()
    assert gc.is_tracked(d) is False
    assert gc.is_tracked(PyGraphDiff.from_bytes(d.to_bytes())) is False


def test_new_object_is_empty(ids):
    d = PyGraphDiff()
    assert type(d) is PyGraphDiff
    assert d.num_nodes() == 0 and d.num_edges() == 0
    assert d.new_or_updated_nodes() == {}
    assert d.deleted_nodes() == []
    assert d.new_or_updated_edges() == {}
    assert d.deleted_edges() == {}
    # every object owns its own diff
    d.add_node(ids[0], {})
    assert PyGraphDiff().num_nodes() == 0


def test_dropping_objects_writes_nothing(capfd, ids):
    for _ in range(50):
        d = PyGraphDiff()
        d.add_node(ids[0], {"label": "x" * 100})
        d.add_edge(ids[0], ids[1], 1.0)
        e = PyGraphDiff.from_bytes(d.to_bytes())
        del d, e
    gc.collect()
    out, err = capfd.readouterr()
    assert out == "" and err == ""


def test_reimport_refused():
    code = (
        "import sys\n"
        "import quorl_api\n"
        "first = quorl_api\n"
        "del sys.modules['quorl_api']\n"
        "try:\n"
        "    import quorl_api\n"
        "except ImportError as e:\n"
        "    assert type(e) is ImportError, type(e)\n"
        "    print(repr(e.args))\n"
        "else:\n"
        "    print('imported twice')\n"
        "assert first.PyGraphDiff().num_nodes() == 0\n"
        "print('still usable')\n"
    )
    lines = python_output(code).splitlines()
    assert lines == [
        repr(("PyO3 modules compiled for CPython 3.8 or older may only be "
              "initialized once per interpreter process",)),
        "still usable",
    ]


@pytest.mark.skipif(shutil.which("nm") is None, reason="nm not available")
def test_only_the_initialiser_is_exported():
    out = subprocess.run(["nm", "-D", "--defined-only", quorl_api.__file__],
                         stdout=subprocess.PIPE, universal_newlines=True,
                         check=True).stdout
    names = {line.split()[-1] for line in out.splitlines() if line.strip()}
    names -= {"_init", "_fini", "_edata", "_end", "__bss_start"}
    assert names == {"PyInit_quorl_api"}


def installed_wheel_tags():
    """The tags of the wheel the imported module was installed from; none
    when it comes from a build tree."""
    from importlib import metadata
    try:
        dist = metadata.distribution("quorl_api")
    except metadata.PackageNotFoundError:
        return []
    module_dir = os.path.dirname(os.path.abspath(quorl_api.__file__))
    if os.path.abspath(str(dist.locate_file(""))) != module_dir:
        return []
    wheel = dist.read_text("WHEEL") or ""
    return [line.split(":", 1)[1].strip() for line in wheel.splitlines() if line.startswith("Tag:")]


@pytest.mark.skipif(shutil.which("readelf") is None, reason="readelf not available")
def test_manylinux_wheel_needs_only_the_c_library():
    # A manylinux wheel runs on systems whose libstdc++ may be older than the
    # compiler that built it, so it carries libstdc++ linked in; GCC's
    # support library libgcc_s, which every manylinux system has, stays
    # shared.
    if not any("manylinux" in tag for tag in installed_wheel_tags()):
        pytest.skip("not installed from a manylinux wheel")
    out = subprocess.run(["readelf", "-d", quorl_api.__file__], stdout=subprocess.PIPE,
                         universal_newlines=True, check=True).stdout
    needed = re.findall(r"\(NEEDED\).*\[(.*)\]", out)
    assert needed, out
    for library in needed:
        assert re.match(r"(libc|libm|libpthread|libdl|librt|libgcc_s|ld-linux[-\w]*)\.so\.\d+$", library), needed


@pytest.mark.skipif(sys.version_info[:2] != (3, 8),
                    reason="sub-interpreter API of CPython 3.8")
def test_import_in_subinterpreter_refused():
    code = (
        "import _xxsubinterpreters as interpreters\n"
        "import quorl_api\n"
        "interp = interpreters.create()\n"
        "try:\n"
        "    interpreters.run_string(interp, 'import quorl_api')\n"
        "except interpreters.RunFailedError as e:\n"
        "    print(e)\n"
        "interpreters.destroy(interp)\n"
        "print(quorl_api.PyGraphDiff().num_nodes())\n"
    )
    assert python_output(code).splitlines() == [
        "<class 'ImportError'>: PyO3 modules compiled for CPython 3.8 or older may "
        "only be initialized once per interpreter process",
        "0",
    ]
