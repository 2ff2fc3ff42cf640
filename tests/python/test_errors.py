"""Borrow conflicts on re-entry, exceptions passing through callbacks and the
panic exception."""
import pickle
import sys
import threading

import pytest

import quorl_api
from quorl_api import PyGraphDiff

from conftest import EXCLUSIVE, METHODS, SHARED, panic_classes, run_python, snapshot, text, uid

A, B, C = uid("a"), uid("b"), uid("c")

PANIC_DOC = (
    "\nThe exception raised when Rust code called from Python panics.\n\n"
    "Like SystemExit, this exception is derived from BaseException so that\n"
    "it will typically propagate all the way through the stack and cause the\n"
    "Python interpreter to exit.\n")

# The methods as the re-entry tests call them, and pickling, which reads the
# diff as the shared methods do.
CALLS = {m.name: m.call for m in METHODS}
CALLS["pickle"] = lambda d: pickle.dumps(d)
ACCESS = {m.name: m.access for m in METHODS}
ACCESS["pickle"] = SHARED
# What each call meets while a conversion of a mutating call runs.
CONFLICTS = {SHARED: (RuntimeError, ("Already mutably borrowed",)), EXCLUSIVE: (RuntimeError, ("Already borrowed",))}


class Callback:
    """Runs `action` whenever the module asks it for a number."""

    def __init__(self, action, value=0.5):
        self.action = action
        self.value = value

    def __float__(self):
        self.action()
        return self.value

    def __index__(self):
        self.action()
        return 7


def run_reentrant(d, entry, action):
    """Call a mutating method of d whose argument conversion runs `action`."""
    cb = Callback(action)
    if entry == "weight":
        d.add_edge(A, B, cb)
    elif entry == "size":
        d.add_node(A, {"size": cb})
    else:
        d.add_node(A, {"red": cb})


ENTRIES = ["weight", "size", "red"]


def inner_result(d, call):
    try:
        call(d)
    except RuntimeError as e:
        return type(e), e.args
    return "no error"


@pytest.mark.parametrize("entry", ENTRIES)
def test_reentry_conflicts(entry):
    d = PyGraphDiff()
    d.add_node(B, {"label": "b"})
    seen = {}

    def action():
        for name, call in CALLS.items():
            seen[name] = inner_result(d, call)
        # other objects and the static methods are not affected
        other = PyGraphDiff()
        other.add_node(C, {})
        seen["other"] = other.num_nodes()
        seen["PyGraphDiff.from_bytes"] = PyGraphDiff.from_bytes(bytes(32)).num_nodes()
        # repr never fails: while the diff is being changed it has no counts
        seen["repr"] = repr(d)
        seen["restore"] = quorl_api._restore(bytes(32)).num_nodes()

    run_reentrant(d, entry, action)
    for name, access in ACCESS.items():
        assert seen[name] == CONFLICTS.get(access, "no error"), name
    assert seen["other"] == 1 and seen["PyGraphDiff.from_bytes"] == 0 and seen["restore"] == 0
    assert seen["repr"] == "<PyGraphDiff: borrowed>"
    assert repr(d).startswith("<PyGraphDiff: ") and repr(d) != seen["repr"]

    # the outer call completed normally and nothing of the inner calls stuck
    if entry == "weight":
        assert d.new_or_updated_edges() == {text(A): {text(B): 0.5}}
        assert d.new_or_updated_nodes() == {text(B): {"label": "b"}}
    elif entry == "size":
        assert d.new_or_updated_nodes()[text(A)] == {"size": 0.5}
    else:
        assert d.new_or_updated_nodes()[text(A)] == {"red": 7}
    assert text(C) not in d.new_or_updated_nodes()
    assert d.deleted_nodes() == []
    # afterwards every call succeeds
    for call in CALLS.values():
        call(d)
    d.clear()
    assert snapshot(d) == snapshot(PyGraphDiff())


def test_uncaught_borrow_error_ends_outer_call_unchanged():
    d = PyGraphDiff()
    d.add_node(B, {})
    before = snapshot(d)
    with pytest.raises(RuntimeError) as info:
        d.add_edge(A, B, Callback(lambda: d.num_nodes()))
    assert type(info.value) is RuntimeError
    assert info.value.args == ("Already mutably borrowed",)
    assert snapshot(d) == before
    with pytest.raises(RuntimeError) as info:
        d.add_node(A, {"red": Callback(lambda: d.clear())})
    assert info.value.args == ("Already borrowed",)
    assert snapshot(d) == before
    d.add_edge(A, B, 1.0)
    assert d.num_edges() == 1


def test_nested_calls_on_two_objects():
    outer, inner = PyGraphDiff(), PyGraphDiff()
    seen = []

    def deeper():
        seen.append(inner_result(outer, lambda o: o.num_nodes()))
        seen.append(inner_result(inner, lambda o: o.num_nodes()))

    def action():
        inner.add_edge(A, B, Callback(deeper, 2.0))
        inner.add_node(C, {"red": 1})

    outer.add_edge(A, B, Callback(action))
    assert seen == [(RuntimeError, ("Already mutably borrowed",))] * 2
    assert inner.new_or_updated_edges() == {text(A): {text(B): 2.0}}
    assert inner.num_nodes() == 1
    assert outer.num_edges() == 1


def raiser(exc):
    def action():
        raise exc
    return action


# ------------------------------------------------------------ panic exception

def test_panic_exception_type(panic_exception):
    P = panic_exception
    assert P.__module__ == "pyo3_runtime"
    assert P.__name__ == "PanicException"
    assert P.__bases__ == (BaseException,)
    assert not issubclass(P, Exception)
    assert P.__doc__ == PANIC_DOC
    assert not hasattr(quorl_api, "PanicException")
    # the type is made once
    known = panic_classes()
    d = PyGraphDiff()
    with pytest.raises(ValueError):
        d.add_edge(A, B, Callback(lambda: int("x")))
    assert panic_classes() == known


@pytest.mark.parametrize("entry", ENTRIES)
def test_panic_from_callback_is_resumed(panic_exception, entry, capfd):
    P = panic_exception
    d = PyGraphDiff()
    d.add_node(B, {"label": "b"})
    before = snapshot(d)
    raised = P("boom")

    def action():
        raise raised

    caught = None
    try:
        try:
            run_reentrant(d, entry, action)
        except Exception:  # must not catch it
            pytest.fail("PanicException caught by 'except Exception'")
    except BaseException as e:  # noqa: B902
        caught = e
    assert type(caught) is P
    assert caught.args == ("boom",)
    assert snapshot(d) == before
    # the object is not left borrowed
    d.add_edge(A, B, 1.0)
    assert d.num_edges() == 1
    err = capfd.readouterr().err
    assert "--- PyO3 is resuming a panic after fetching a PanicException from Python. ---\n" \
        in err
    assert "Python stack trace below:\n" in err


def test_panic_message_is_str_of_value(panic_exception, capfd):
    d = PyGraphDiff()
    with pytest.raises(panic_exception) as info:
        d.add_edge(A, B, Callback(raiser(panic_exception(42))))
    assert info.value.args == ("42",)
    with pytest.raises(panic_exception) as info:
        d.add_edge(A, B, Callback(raiser(panic_exception("two", "parts"))))
    assert info.value.args == (str(("two", "parts")),)

    class Unprintable:
        def __str__(self):
            raise ValueError("no text")

    with pytest.raises(panic_exception) as info:
        d.add_edge(A, B, Callback(raiser(panic_exception(Unprintable()))))
    assert info.value.args == ("Unwrapped panic from Python code",)

    with pytest.raises(panic_exception) as info:
        d.add_edge(A, B, Callback(raiser(panic_exception("a\ud800b"))))
    (message,) = info.value.args
    assert message[0] == "a" and message[-1] == "b" and "\ufffd" in message
    message.encode("utf-8")  # no lone surrogate left
    capfd.readouterr()


def test_panic_with_empty_message_keeps_it(panic_exception, capfd):
    d = PyGraphDiff()
    with pytest.raises(panic_exception) as info:
        d.add_edge(A, B, Callback(raiser(panic_exception())))
    assert info.value.args == ("",)
    with pytest.raises(panic_exception) as info:
        d.add_edge(A, B, Callback(raiser(panic_exception(""))))
    assert info.value.args == ("",)
    capfd.readouterr()


def test_panic_report_on_stderr():
    code = (
        "import sys\n"
        "from quorl_api import PyGraphDiff\n"
        "class F:\n"
        "    def __float__(self):\n"
        "        raise ValueError('make the type')\n"
        "d = PyGraphDiff()\n"
        "try:\n"
        "    d.add_edge(b'a' * 16, b'b' * 16, F())\n"
        "except ValueError:\n"
        "    pass\n"
        "P = [c for c in BaseException.__subclasses__() if c.__name__ == 'PanicException'][0]\n"
        "class G:\n"
        "    def __float__(self):\n"
        "        raise P('boom from callback')\n"
        "sys.stderr.write('<<start>>\\n'); sys.stderr.flush()\n"
        "try:\n"
        "    d.add_edge(b'a' * 16, b'b' * 16, G())\n"
        "except BaseException as e:\n"
        "    print(type(e).__module__, type(e).__name__, e.args)\n"
        "sys.stderr.write('<<end>>\\n'); sys.stderr.flush()\n"
        "print(d.num_edges(), hasattr(sys, 'last_value'))\n"
    )
    proc = run_python(code)
    assert proc.returncode == 0, proc.stderr
    assert proc.stdout.splitlines() == [
        "pyo3_runtime PanicException ('boom from callback',)", "0 False"]
    err = proc.stderr.split("<<start>>\n", 1)[1].split("<<end>>\n", 1)[0]
    lines = err.splitlines()
    # the two header lines, then the interpreter's own printing of the
    # exception, and nothing else
    assert lines[:3] == [
        "--- PyO3 is resuming a panic after fetching a PanicException from Python. ---",
        "Python stack trace below:",
        "Traceback (most recent call last):",
    ]
    assert lines[-1] == "pyo3_runtime.PanicException: boom from callback"
    assert sum("PanicException" in line for line in lines) == 2


# ------------------------------------------------------------ module exceptions

def test_raised_exceptions_are_instances_with_one_argument(d):
    errors = []
    for call in (lambda: d.add_node(b"x", {}),
                 lambda: d.add_node(A, {"red": 300}),
                 lambda: PyGraphDiff.from_bytes(b""),
                 lambda: d.delete_node()):
        try:
            call()
        except BaseException as e:  # noqa: B902
            errors.append(e)
    assert len(errors) == 4
    for e in errors:
        assert isinstance(e, BaseException)
        assert len(e.args) == 1 and type(e.args[0]) is str
        assert e.__traceback__ is not None


def test_exception_object_passed_through_unchanged(d):
    err = KeyError("mine")
    with pytest.raises(KeyError) as info:
        d.add_edge(A, B, Callback(raiser(err)))
    assert info.value is err
    with pytest.raises(SystemExit):
        d.add_edge(A, B, Callback(raiser(SystemExit(3))))
    with pytest.raises(KeyboardInterrupt):
        d.add_node(A, {"blue": Callback(raiser(KeyboardInterrupt()))})
    assert d.num_nodes() == 0 and d.num_edges() == 0


def test_use_from_threads():
    shared = PyGraphDiff()
    failures = []

    def work(k):
        try:
            own = PyGraphDiff()
            for i in range(2000):
                own.add_node(uid((k, i % 50)), {"red": i % 256})
                shared.add_edge(uid(k), uid(i % 50), float(i))
                if i % 100 == 0:
                    own.to_bytes()
                    shared.new_or_updated_edges()
            assert own.num_nodes() == 50
        except BaseException as e:  # noqa: B902
            failures.append(e)

    threads = [threading.Thread(target=work, args=(k,)) for k in range(4)]
    for t in threads:
        t.start()
    for t in threads:
        t.join()
    assert failures == []
    assert shared.num_edges() == 4
    assert all(len(v) == 50 for v in shared.new_or_updated_edges().values())


# ------------------------------------------------------------ out of memory

# A child process caps its address space at what it uses, takes every byte
# malloc can still give, and calls a batch whose columns cannot be allocated.
OUT_OF_MEMORY = r"""
import ctypes, resource, sys, threading
from quorl_api import PyGraphDiff

where = sys.argv[1]
libc = ctypes.CDLL(None)
libc.malloc.restype, libc.malloc.argtypes, libc.free.argtypes = ctypes.c_void_p, [ctypes.c_size_t], [ctypes.c_void_p]
held = (ctypes.c_void_p * 100000)()
ids = [bytes([k % 256, k // 256]) * 8 for k in range(1000)]
d = PyGraphDiff()
d.add_edge(ids[0], ids[1], 0.5)
before, outcome = d.to_bytes(), []

def call():
    n = 0
    for size in (1 << 24, 1 << 24):  # twice, for what was given back meanwhile
        while size:
            held[n] = libc.malloc(size)
            n, size = (n + 1, size) if held[n] else (n, size // 2)
    try:
        d.add_edges(ids, ids, 1.0)
    except MemoryError:
        outcome.append("MemoryError")
    for i in range(n):
        libc.free(held[i])

go = threading.Event()
# The thread ends only once the cap is lifted: CPython 3.8 ends a thread with
# pthread_exit, whose unwinding loads libgcc_s, and the C library ends the
# process when it cannot (a module that does not need libgcc_s itself leaves
# that load to the first thread that ends). Held locks, which allocate
# nothing to wait on, tell when.
called, lifted = threading.Lock(), threading.Lock()
called.acquire()
lifted.acquire()
def thread():
    if where == "thread that called before":
        d.num_edges()
    libc.free(libc.malloc(64))  # the thread's own heap, made before the cap
    go.wait()
    call()
    called.release()
    lifted.acquire()
t = threading.Thread(target=thread)
if where != "main thread":
    t.start()
with open("/proc/self/statm") as f:
    resource.setrlimit(resource.RLIMIT_AS, (int(f.read().split()[0]) * resource.getpagesize(), resource.RLIM_INFINITY))
if where == "main thread":
    call()
else:
    go.set()
    called.acquire()
resource.setrlimit(resource.RLIMIT_AS, (resource.RLIM_INFINITY, resource.RLIM_INFINITY))
if where != "main thread":
    lifted.release()
    t.join()
print(outcome, d.to_bytes() == before)
"""


@pytest.mark.slow  # caps the address space, which a sanitizer's runtime cannot live with
@pytest.mark.skipif(not sys.platform.startswith("linux"), reason="reads /proc/self/statm")
@pytest.mark.parametrize("where", ["main thread", "thread that called before", "thread calling first"])
def test_running_out_of_memory_raises_memory_error(where):
    """The C++ runtime sets up a thread's exception state at its first throw,
    and once ended the process there (exit status 127, "cannot allocate
    memory for thread-local data") when that throw was the std::bad_alloc of
    a batch that had run out of memory."""
    proc = run_python("import sys; sys.argv[1:] = [%r]\n" % where + OUT_OF_MEMORY)
    if proc.returncode != 0 and where == "thread calling first" and "thread-local data" in proc.stderr:
        # The C library allocates a library's thread-local data for a thread
        # at its first use, and ends the process if it cannot: at a thread's
        # first call for a C++ runtime loaded as a shared library (a build
        # from source), or for the module's own when it does not reach it
        # through TLS descriptors (which let the loader place it statically).
        pytest.skip("the thread's first call allocates thread-local data")
    assert proc.returncode == 0, proc.stderr
    assert proc.stdout.split() == ["['MemoryError']", "True"]
