import ctypes
import importlib
import os
import pathlib
import subprocess
import sys
import types

import pytest

import vesprand_python_configuration

PACKAGE = "vesprand_python_configuration"
MODULES = sorted(
    p.name.split(".")[0] for p in pathlib.Path(vesprand_python_configuration.__file__).parent.glob("*.so")
)


def test_all_modules_are_built():
    assert {"settingsmith", "toolchest", "olapsmith", "relsmith", "streamsmith", "searchsmith",
            "cloudsmith", "cachesmith"} <= set(MODULES)


@pytest.mark.parametrize("name", MODULES)
def test_reimport_gives_the_same_module_without_running_it_again(name):
    qualified = f"{PACKAGE}.{name}"
    module = importlib.import_module(qualified)
    assert module.__name__ == qualified and module.__spec__.name == qualified
    module._marker = object()
    marker = module._marker
    del sys.modules[qualified]
    try:
        again = importlib.import_module(qualified)
        assert again is module and again._marker is marker
        assert importlib.reload(module) is module
    finally:
        sys.modules[qualified] = module
        del module._marker


@pytest.mark.parametrize("name", MODULES)
def test_executing_into_another_module_object_is_refused(name):
    module = importlib.import_module(f"{PACKAGE}.{name}")
    api = ctypes.pythonapi
    api.PyModule_GetDef.restype = ctypes.c_void_p
    api.PyModule_GetDef.argtypes = [ctypes.py_object]
    api.PyModule_ExecDef.argtypes = [ctypes.py_object, ctypes.c_void_p]
    definition = api.PyModule_GetDef(module)
    assert definition
    with pytest.raises(RuntimeError) as info:
        api.PyModule_ExecDef(types.ModuleType("other"), definition)
    assert str(info.value) == (
        f"Module '{name}' has already been imported. Re-initialisation is not supported."
    )


def test_a_second_interpreter_is_refused():
    # Run in a child process so the subinterpreter cannot disturb this one.
    script = f"""
import _xxsubinterpreters as interpreters
import {PACKAGE}.olapsmith
interp = interpreters.create()
try:
    interpreters.run_string(interp, "import {PACKAGE}.olapsmith")
except interpreters.RunFailedError as error:
    print(error)
"""
    result = subprocess.run([sys.executable, "-P", "-c", script], capture_output=True, text=True,
                            timeout=60, env={**os.environ, "PYTHONPATH": ":".join(sys.path)})
    assert result.returncode == 0, result.stderr
    assert ("<class 'ImportError'>: Interpreter change detected - this module can only be loaded "
            "into one interpreter per process.") in result.stdout
