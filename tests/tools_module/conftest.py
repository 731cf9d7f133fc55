# Makes the module under test importable: from QUARNEL_MODULE_DIR when set (the folder a
# build wrote quarnel_tools.<abi>.so into), else from wherever the interpreter finds it.
import os
import sys

import pytest

_module_dir = os.environ.get("QUARNEL_MODULE_DIR")
if _module_dir:
    sys.path.insert(0, os.path.abspath(_module_dir))

import quarnel_tools

if _module_dir:
    # A quarnel_tools installed elsewhere must not be tested by mistake.
    assert os.path.dirname(quarnel_tools.__file__) == os.path.abspath(_module_dir), \
        quarnel_tools.__file__


@pytest.fixture
def child_env():
    """The environment for a child interpreter that imports the same module."""
    env = {k: v for k, v in os.environ.items() if k != "PYTHON_GIL"}
    module_dir = os.path.dirname(quarnel_tools.__file__)
    env["PYTHONPATH"] = os.pathsep.join(
        p for p in (module_dir, os.environ.get("PYTHONPATH", "")) if p)
    return env
