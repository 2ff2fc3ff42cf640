"""The typing stub quorl_api.pyi and the module agree.

The stub is read with `ast` (never imported): its methods, parameter names,
static methods and module names are compared with what the interpreter
reports for the class, and every method's result is checked against the
stub's return annotation. The sample program in tests/typing uses every
method; it must pass mypy --strict and run as it stands.
"""
import array
import ast
import importlib.util
import keyword
import os
import runpy
import subprocess
import sys

import pytest

import quorl_api
from quorl_api import PyGraphDiff

from conftest import METHODS, methods, text, uid

ROOT = os.path.dirname(os.path.dirname(os.path.dirname(os.path.abspath(__file__))))
STUB = os.path.join(ROOT, "src", "extension", "quorl_api.pyi")
SAMPLE = os.path.join(ROOT, "tests", "typing", "sample.py")
MODULE_DIR = os.path.dirname(os.path.abspath(quorl_api.__file__))
# Where pip puts the stub: beside the module, and as the stub-only package
# that mypy reads.
INSTALLED_STUBS = [os.path.join(MODULE_DIR, "quorl_api.pyi"),
                   os.path.join(MODULE_DIR, "quorl_api-stubs", "__init__.pyi")]


def _slice(node):
    """The subscript of X[...], the same on every ast version."""
    inner = node.slice
    index = getattr(ast, "Index", None)
    if index is not None and isinstance(inner, index):
        inner = inner.value
    return inner


def _name(node):
    if isinstance(node, ast.Name):
        return node.id
    if isinstance(node, ast.Attribute):
        return node.attr
    return None


class Stub:
    """What the stub declares, read from its syntax tree."""

    def __init__(self, path):
        with open(path, encoding="utf-8") as f:
            self.tree = ast.parse(f.read(), path)
        self.typeddicts = {}  # name -> {key: annotation node}, in order
        self.totals = {}
        self.aliases = {}
        self.all = None
        self.classes = {}
        self.functions = {}
        for node in self.tree.body:
            if isinstance(node, ast.ClassDef):
                if any(_name(b) == "TypedDict" for b in node.bases):
                    self.typeddicts[node.name] = {
                        s.target.id: s.annotation for s in node.body if isinstance(s, ast.AnnAssign)}
                    self.totals[node.name] = {k.arg: k.value.value for k in node.keywords}.get("total", True)
                else:
                    self.classes[node.name] = node
            elif isinstance(node, ast.FunctionDef):
                self.functions[node.name] = node
            elif isinstance(node, ast.Assign) and len(node.targets) == 1:
                target, value = node.targets[0].id, node.value
                if target == "__all__":
                    self.all = [e.value for e in value.elts]
                elif isinstance(value, ast.Call) and _name(value.func) == "TypedDict":
                    fields = value.args[1]
                    self.typeddicts[target] = {k.value: v for k, v in zip(fields.keys, fields.values)}
                    self.totals[target] = True
                else:
                    self.aliases[target] = value

    def methods(self, cls):
        """name -> [FunctionDef, ...] (several for an overloaded method)."""
        found = {}
        for node in self.classes[cls].body:
            if isinstance(node, ast.FunctionDef):
                found.setdefault(node.name, []).append(node)
        return found


@pytest.fixture(scope="module")
def stub():
    return Stub(STUB)


def is_static(defs):
    return any(_name(d) == "staticmethod" for f in defs for d in f.decorator_list)


def _default(node):
    """A parameter's default as the text signature writes it, or None."""
    if node is None:
        return None
    assert isinstance(node, ast.Constant), ast.dump(node)
    return repr(node.value)


def stub_parameters(stub, defs):
    """The parameters a stub method declares, the same for each of its
    overloads: (name, keyword-only, default text or None). `__name` is the
    stub's spelling of a positional-or-keyword parameter whose name is a
    keyword: allowed only for such names, and only beside an overload that
    takes the name through **kwargs."""
    lists = []
    for f in defs:
        args = f.args
        assert not args.vararg, f.name
        positional = getattr(args, "posonlyargs", []) + args.args
        defaults = [None] * (len(positional) - len(args.defaults)) + list(args.defaults)
        params = [(a.arg, False, _default(dflt)) for a, dflt in zip(positional, defaults)]
        params += [(a.arg, True, _default(dflt)) for a, dflt in zip(args.kwonlyargs, args.kw_defaults)]
        if not is_static(defs):
            params = params[1:]  # self / cls
        for n, _, _ in params:
            if n.startswith("__"):
                assert keyword.iskeyword(n[2:]), (f.name, n)
        params = [(n[2:] if n.startswith("__") else n, kw, dflt) for n, kw, dflt in params]
        if args.kwarg is not None:
            assert not params, f.name
            ann = args.kwarg.annotation
            assert isinstance(ann, ast.Subscript) and _name(ann.value) == "Unpack", f.name
            typed = _name(_slice(ann))
            assert stub.totals[typed], typed  # every parameter is required
            params = [(n, False, None) for n in stub.typeddicts[typed]]
        lists.append(params)
    assert all(names == lists[0] for names in lists), (defs[0].name, lists)
    if any(a.arg.startswith("__") for f in defs for a in f.args.args):
        assert any(f.args.kwarg is not None for f in defs), defs[0].name
    return lists[0]


def runtime_parameters(obj):
    """(name, keyword-only, default text or None) for each parameter of the
    text signature."""
    sig = obj.__text_signature__
    assert sig.startswith("(") and sig.endswith(")"), sig
    items = [p.strip() for p in sig[1:-1].split(",") if p.strip()]
    assert "/" not in items, sig  # nothing positional-only
    params, keyword_only = [], False
    for item in items:
        if item == "*":
            keyword_only = True
        elif not item.startswith("$"):
            name, _, default = item.partition("=")
            params.append((name, keyword_only, default or None))
    return params


RUNTIME_METHODS = sorted(n for n in PyGraphDiff.__dict__ if not n.startswith("__"))


def test_same_methods(stub):
    declared = stub.methods("PyGraphDiff")
    assert sorted(n for n in declared if not n.startswith("__")) == RUNTIME_METHODS
    for dunder in (n for n in declared if n.startswith("__")):
        assert dunder in PyGraphDiff.__dict__, dunder


@pytest.mark.parametrize("name", RUNTIME_METHODS)
def test_parameters_and_kind(stub, name):
    defs = stub.methods("PyGraphDiff")[name]
    assert is_static(defs) == isinstance(PyGraphDiff.__dict__[name], staticmethod)
    assert stub_parameters(stub, defs) == runtime_parameters(getattr(PyGraphDiff, name))


@pytest.mark.parametrize("name", [m.name for m in methods("protocol")])
def test_protocol_methods(stub, name):
    defs = stub.methods("PyGraphDiff")[name]
    assert stub_parameters(stub, defs) == runtime_parameters(PyGraphDiff.__dict__[name])
    assert "__repr__" in stub.methods("PyGraphDiff")


def test_table_methods(stub):
    """The table type's methods: the interface's three, with the runtime's
    parameters, and len() and repr()."""
    table_type = quorl_api.PyDiffTable
    declared = stub.methods("PyDiffTable")
    assert sorted(declared) == sorted(["__len__", "__repr__", "__arrow_c_schema__", "__arrow_c_array__",
                                       "__arrow_c_stream__"])
    for name in ("__arrow_c_schema__", "__arrow_c_array__", "__arrow_c_stream__"):
        assert stub_parameters(stub, declared[name]) == runtime_parameters(table_type.__dict__[name]), name
    assert "__len__" in dir(table_type) and "__repr__" in table_type.__dict__


def test_every_declaration_has_a_docstring(stub):
    """Editors show these; the runtime __doc__ of the methods is None."""
    assert ast.get_docstring(stub.classes["PyDiffTable"])
    for name, defs in stub.methods("PyDiffTable").items():
        assert ast.get_docstring(defs[0]), name
    assert ast.get_docstring(stub.classes["PyGraphDiff"])
    for name, defs in stub.methods("PyGraphDiff").items():
        for f in defs:
            doc = ast.get_docstring(f)
            assert doc and len(doc) > 30, name
            # the body is the docstring alone
            assert len(f.body) == 1, name
    for name, f in stub.functions.items():
        assert ast.get_docstring(f), name


def test_private_functions(stub):
    # The pickle hook is declared beside the class, outside __all__.
    assert set(stub.functions) == {n for n, v in vars(quorl_api).items()
                                   if n.startswith("_") and not n.startswith("__") and callable(v)
                                   and n not in ("_inject_failure_after", "_inject_store_failure_after",
                                                 "_set_batch_text_limit")}
    f = stub.functions["_restore"]
    assert [a.arg for a in f.args.args] == [n for n, _, _ in runtime_parameters(quorl_api._restore)] == ["data", "sizes"]
    assert len(f.args.defaults) == 1  # sizes may be left out


def test_constructor(stub):
    defs = stub.methods("PyGraphDiff")["__new__"]
    assert stub_parameters(stub, defs) == runtime_parameters(PyGraphDiff) == []
    decorators = [_name(d) for d in stub.classes["PyGraphDiff"].decorator_list]
    assert "final" in decorators  # the class refuses subclasses
    with pytest.raises(TypeError):
        type("Sub", (PyGraphDiff,), {})


def test_module_names(stub):
    assert stub.all == quorl_api.__all__
    public = {n for n in vars(quorl_api) if not n.startswith("_")}
    assert public == set(stub.classes) == {"PyGraphDiff", "PyDiffTable"}
    # The TypedDicts exist for type checkers only.
    assert not set(stub.typeddicts) & set(vars(quorl_api))


def test_attribute_keys_match_views(stub, d):
    declared = stub.typeddicts["NodeAttributes"]
    assert stub.totals["NodeAttributes"] is False  # absent attributes are missing keys
    full = {"label": "l", "url": "u", "size": 1.5, "red": 1, "green": 2, "blue": 3, "show_label": True}
    d.add_node(uid(1), full)
    assert list(d.new_or_updated_nodes()[text(uid(1))]) == list(declared)


# ---------------------------------------------------------- return values

EXACT = {"str": str, "int": int, "float": float, "bool": bool, "bytes": bytes, "PyGraphDiff": PyGraphDiff,
         "PyDiffTable": quorl_api.PyDiffTable}


def conforms(value, ann, stub):
    """Whether value is of the type the annotation names (exact types)."""
    if isinstance(ann, ast.Constant) and ann.value is None:
        return value is None
    if isinstance(ann, ast.Subscript):
        kind, inner = _name(ann.value), _slice(ann)
        if kind == "Dict":
            key, val = inner.elts
            return type(value) is dict and all(
                conforms(k, key, stub) and conforms(v, val, stub) for k, v in value.items())
        if kind == "List":
            return type(value) is list and all(conforms(v, inner, stub) for v in value)
        if kind == "Tuple":
            return (type(value) is tuple and len(value) == len(inner.elts)
                    and all(conforms(v, item, stub) for v, item in zip(value, inner.elts)))
        if kind == "array":  # array.array of the item type's type codes
            codes = {"float": "fd", "int": "bBhHiIlLqQ"}[_name(inner)]
            return type(value) is array.array and value.typecode in codes and all(
                conforms(v, inner, stub) for v in value)
    name = _name(ann)
    if name in EXACT:
        return type(value) is EXACT[name]
    if name in stub.typeddicts:
        fields = stub.typeddicts[name]
        return type(value) is dict and all(k in fields and conforms(v, fields[k], stub) for k, v in value.items())
    raise AssertionError("annotation not understood: %s" % ast.dump(ann))


def populated():
    d = PyGraphDiff()
    d.add_node(uid(1), {"label": "l", "url": "u", "size": 0.1, "red": 1, "green": 2, "blue": 3, "show_label": False})
    d.add_node(uid(2), {})
    d.delete_node(uid(3))
    d.add_edge(uid(1), uid(2), 0.5)
    d.delete_edge(uid(2), uid(1))
    return d


@pytest.mark.parametrize("name", RUNTIME_METHODS)
def test_results_match_return_annotations(stub, name):
    result = {m.name: m.call for m in METHODS}[name](populated())
    if isinstance(result, (dict, list, tuple)):
        assert result, name  # a non-empty result, so its items are checked too
    if isinstance(result, tuple):
        assert all(len(column) for column in result), name
    for f in stub.methods("PyGraphDiff")[name]:
        assert conforms(result, f.returns, stub), (name, result)


# ----------------------------------------------------------- installed files

def test_installed_stub_is_the_source_stub():
    present = [p for p in INSTALLED_STUBS if os.path.exists(p)]
    if not present:
        pytest.skip("module not installed by pip (build tree): no stub beside it")
    assert present == INSTALLED_STUBS
    with open(STUB, "rb") as f:
        source = f.read()
    for path in present:
        with open(path, "rb") as f:
            assert f.read() == source, path


def test_sample_runs(capsys):
    runpy.run_path(SAMPLE, run_name="__main__")
    assert capsys.readouterr().out.startswith("ok ")


@pytest.mark.skipif(importlib.util.find_spec("mypy") is None, reason="mypy is not installed")
def test_sample_passes_mypy_strict(tmp_path):
    env = {k: v for k, v in os.environ.items() if k not in ("MYPYPATH", "PYTHONPATH")}
    if not all(os.path.exists(p) for p in INSTALLED_STUBS):
        env["MYPYPATH"] = os.path.dirname(STUB)  # build tree: the source stub
    # Installed by pip: mypy finds the stub package on its own.
    proc = subprocess.run(
        [sys.executable, "-m", "mypy", "--strict", "--cache-dir", str(tmp_path / "cache"), SAMPLE],
        cwd=str(tmp_path), env=env, stdout=subprocess.PIPE, stderr=subprocess.STDOUT,
        universal_newlines=True, timeout=300)
    assert proc.returncode == 0, proc.stdout
