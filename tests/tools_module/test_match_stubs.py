# quarnel_tools.pyi against the built module: the same public names, and the members the
# stubs give each matcher class exist on it.
import ast
from pathlib import Path

import pytest

import quarnel_tools

STUBS = ast.parse((Path(__file__).resolve().parents[2] / "quarnel_tools.pyi").read_text(encoding="utf-8"))


def stub_all():
    for node in STUBS.body:
        if isinstance(node, ast.Assign) and node.targets[0].id == "__all__":
            return [element.value for element in node.value.elts]
    raise AssertionError("no __all__ in the stubs")


def stub_classes():
    return {node.name: node for node in STUBS.body if isinstance(node, ast.ClassDef)}


def test_the_stubs_list_the_module_names():
    assert stub_all() == quarnel_tools.__all__


@pytest.mark.parametrize("name", ["CompiledPattern", "Observations", "MatchResult", "PatternIndex",
                                  "PatternError", "DataError", "MatchError"])
def test_stub_members_exist(name):
    cls = getattr(quarnel_tools, name)
    for item in stub_classes()[name].body:
        member = item.name if isinstance(item, ast.FunctionDef) else getattr(item.target, "id", None)
        if member in (None, "__init__") or member in ("kind", "message"):
            continue
        assert hasattr(cls, member), f"{name}.{member}"
