# Makes the module under test importable: from QUARNEL_MODULE_DIR when set (the folder a
# build wrote quarnel.<abi>.so into), else from wherever the interpreter finds it.
import os
import sys
import warnings

import pytest

_module_dir = os.environ.get("QUARNEL_MODULE_DIR")
if _module_dir:
    sys.path.insert(0, os.path.abspath(_module_dir))

with warnings.catch_warnings():
    # A free-threaded interpreter warns that importing the module turns its GIL on;
    # test_threads.py checks that warning in a fresh process.
    warnings.filterwarnings("ignore", message="The global interpreter lock", category=RuntimeWarning)
    import quarnel

if _module_dir:
    # A quarnel installed elsewhere must not be tested by mistake.
    assert os.path.dirname(quarnel.__file__) == os.path.abspath(_module_dir), quarnel.__file__


def structure(node):
    """The whole content of a node as nested tuples, for comparing two parses."""
    if isinstance(node, quarnel.Comparison):
        return ("Comparison", structure(node.object_path), repr(node.op), node.negated,
                node.constant)
    if isinstance(node, quarnel.CompositeComparison):
        return ("CompositeComparison", repr(node.op), structure(node.left), structure(node.right))
    if isinstance(node, quarnel.CompositePattern):
        return ("CompositePattern", repr(node.op), structure(node.left), structure(node.right))
    if isinstance(node, quarnel.QualifiedPattern):
        return ("QualifiedPattern", node.repeat, node.within, node.start, node.stop,
                structure(node.pattern))
    if isinstance(node, quarnel.ObjectPath):
        return ("ObjectPath", node.object_type, [structure(c) for c in node.property_path])
    if isinstance(node, quarnel.PathComponent):
        return ("PathComponent", node.property, node.index)
    raise TypeError(f"not a node: {node!r}")


def subprocess_env():
    """The environment for a child interpreter that imports the same module."""
    env = {k: v for k, v in os.environ.items() if k != "PYTHON_GIL"}
    module_dir = os.path.dirname(quarnel.__file__)
    env["PYTHONPATH"] = os.pathsep.join(
        p for p in (module_dir, os.environ.get("PYTHONPATH", "")) if p)
    return env


@pytest.fixture
def child_env():
    return subprocess_env()
