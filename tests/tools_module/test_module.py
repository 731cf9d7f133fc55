# The module itself: its names, its argument handling, a second import, and the
# interpreter lock on free-threaded builds.
import subprocess
import sys
import sysconfig

import pytest

import quarnel_tools

free_threaded = pytest.mark.skipif(not sysconfig.get_config_var("Py_GIL_DISABLED"),
                                   reason="needs a free-threaded interpreter")


def test_all_names_exist():
    assert quarnel_tools.__all__
    for name in quarnel_tools.__all__:
        assert hasattr(quarnel_tools, name), name


VALIDITY = [
    ("[file:name = 'x']", True),
    ("[file:name = 'x'", False),
    ("[file:size = 99999999999999999999]", False),  # passes the grammar, fails to convert
    ("(" * 300 + "[a:b = 1]" + ")" * 300, False),
    ("", False),
]


@pytest.mark.parametrize("pattern, valid", VALIDITY)
def test_is_valid_pattern(pattern, valid):
    assert quarnel_tools.is_valid_pattern(pattern) is valid
    assert quarnel_tools.is_valid_pattern(pattern=pattern) is valid


BAD_CALLS = [
    ((), {}, TypeError, "missing required argument 'pattern'"),
    ((1,), {}, TypeError, "argument 'pattern' must be str, not int"),
    ((b"[a:b = 1]",), {}, TypeError, "must be str, not bytes"),
    (("a", "b"), {}, TypeError, "takes 1 positional argument but 2 were given"),
    (("a",), {"pattern": "b"}, TypeError, "multiple values for argument 'pattern'"),
    ((), {"text": "a"}, TypeError, "unexpected keyword argument 'text'"),
    (("[a:b = '\ud800']",), {}, UnicodeEncodeError, "surrogates not allowed"),
]


@pytest.mark.parametrize("args, kwargs, error, message", BAD_CALLS)
def test_bad_arguments_raise_clear_errors(args, kwargs, error, message):
    with pytest.raises(error, match=message):
        quarnel_tools.is_valid_pattern(*args, **kwargs)


def test_a_second_import_builds_an_independent_module(child_env):
    code = ("import sys, quarnel_tools as a\n"
            "del sys.modules['quarnel_tools']\n"
            "import quarnel_tools as b\n"
            "assert a is not b and a.Finding is not b.Finding\n"
            "del a\n"
            "import gc; gc.collect()\n"
            "assert b.is_valid_pattern('[a:b = 1]')\n")
    result = subprocess.run([sys.executable, "-c", code], env=child_env, capture_output=True,
                            timeout=120)
    assert result.returncode == 0, result.stderr.decode()


@free_threaded
def test_importing_it_alone_keeps_the_interpreter_lock_off(child_env):
    code = ("import sys, warnings\n"
            "warnings.simplefilter('error')\n"
            "import quarnel_tools\n"
            "p = '[a:b = 1] OR [c:d = 2] AND [e:f = 3]'\n"
            "quarnel_tools.is_valid_pattern(p)\n"
            "for f in (quarnel_tools.tree_json, quarnel_tools.canonical_text,\n"
            "          quarnel_tools.observables, quarnel_tools.inspect_pattern):\n"
            "    f(p)\n"
            "quarnel_tools.check_document(p.encode() * 3, 'p', 'text', 'tree', 2)\n"
            "print(sys._is_gil_enabled())\n")
    result = subprocess.run([sys.executable, "-c", code], env=child_env, capture_output=True,
                            timeout=120)
    assert result.returncode == 0, result.stderr.decode()
    assert result.stdout.decode().strip() == "False"
