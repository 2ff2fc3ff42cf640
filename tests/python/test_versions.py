"""Refusals whose text comes from the interpreter, not from the module.

The module behaves the same on every CPython; these messages are written by
the interpreter and some of them changed between versions. 3.8 is the
reference, and each expectation names the version that changed its text.
"""
import sys
import weakref

import pytest

from quorl_api import PyGraphDiff

from conftest import check_exc, raises_exact

# 3.9: method names in these messages are qualified by the class name.
QUALIFIED = sys.version_info >= (3, 9)
# 3.13: refusing a new attribute also says why.
EXPLAINS_NO_DICT = sys.version_info >= (3, 13)

NO_ARGUMENT_METHODS = ["new_or_updated_nodes", "deleted_nodes", "new_or_updated_edges",
                       "deleted_edges", "num_nodes", "num_edges", "clear", "to_bytes"]
ARGUMENT_METHODS = ["add_node", "delete_node", "add_edge", "delete_edge"]
TYPE = "'builtins.PyGraphDiff'"


@pytest.mark.parametrize("name", NO_ARGUMENT_METHODS)
def test_no_argument_method_given_arguments(d, name):
    method = getattr(d, name)
    shown = ("PyGraphDiff." if QUALIFIED else "") + name
    raises_exact(TypeError, shown + "() takes no arguments (1 given)", method, 1)
    raises_exact(TypeError, shown + "() takes no keyword arguments", method, x=1)


@pytest.mark.parametrize("name", NO_ARGUMENT_METHODS + ARGUMENT_METHODS)
def test_unbound_method_without_self(name):
    if QUALIFIED:
        message = "unbound method PyGraphDiff.%s() needs an argument" % name
    else:
        message = "descriptor '%s' of %s object needs an argument" % (name, TYPE)
    raises_exact(TypeError, message, getattr(PyGraphDiff, name))


def test_new_attribute_refused(d):
    message = "%s object has no attribute 'anything'" % TYPE
    if EXPLAINS_NO_DICT:
        message += " and no __dict__ for setting new attributes"
    with pytest.raises(AttributeError) as info:
        d.anything = 1
    check_exc(info, AttributeError, message)


def test_texts_shared_by_every_version(d):
    raises_exact(TypeError, "cannot create weak reference to %s object" % TYPE, weakref.ref, d)
    raises_exact(TypeError, "type %s is not an acceptable base type" % TYPE,
                 type, "Sub", (PyGraphDiff,), {})
    raises_exact(TypeError, "descriptor 'num_nodes' for %s objects doesn't apply to a 'object' object" % TYPE,
                 PyGraphDiff.num_nodes, object())
    with pytest.raises(AttributeError) as info:
        d.num_nodes = 1
    check_exc(info, AttributeError, "%s object attribute 'num_nodes' is read-only" % TYPE)
    assert d.num_nodes() == 0
