"""Shared helpers for the Python test suite."""

import os
import shlex
import subprocess
import sys


def python_command():
    """The command that starts a Python interpreter like the one running the tests.

    Under emulation (a foreign-architecture interpreter run through qemu) the
    plain ``sys.executable`` cannot be started directly, so the CI scripts put a
    launcher into ``PWPOLY_TEST_PYTHON`` (a command line, shell-quoted).
    """
    launcher = os.environ.get("PWPOLY_TEST_PYTHON")
    if launcher:
        return shlex.split(launcher)
    return [sys.executable]


def run_python(code, env=None, timeout=300):
    """Run ``code`` in a fresh interpreter; returns the CompletedProcess."""
    full_env = dict(os.environ)
    if env:
        full_env.update(env)
    return subprocess.run(
        python_command() + ["-c", code],
        env=full_env,
        capture_output=True,
        text=True,
        timeout=timeout,
    )


def check_panic(exc, message):
    """`exc` is a PanicException (the module's, or the reference model's) carrying `message`."""
    import reference_model

    assert type(exc).__name__ == "PanicException"
    assert not isinstance(exc, Exception)
    if not isinstance(exc, reference_model.PanicException):
        assert f"{type(exc).__module__}.{type(exc).__qualname__}" == "pyo3_runtime.PanicException"
    assert str(exc) == message
