"""Shared helpers for the Python test suite: the module's fixed message texts,
its PanicException type, and running code in a child interpreter."""

import functools
import os
import shlex
import subprocess
import sys

TESTS_DIR = os.path.dirname(os.path.abspath(__file__))

# Message texts that the module raises; the tests compare against these.
CAPACITY_OVERFLOW = "capacity overflow"
MATRIX_VIEW_TOO_SMALL = "Matrix view: input data buffer too small."
NO_INTERVALS = "cannot evaluate: the mesh has no intervals (n_t = 0)"
PERIODIC_DEGREE = "Periodic Lagrange bases require polynomial degree at least 1"
PERIODIC_INTERVALS = "Periodic Lagrange bases require at least one interval"
PERIODIC_PROLONGATION = "Periodic Lagrange prolongation requires positive interval counts"
PROLONGATION_DEGREE = "Lagrange prolongation requires polynomial degree at least 1"
PROLONGATION_COARSE = "Lagrange prolongation requires at least one coarse interval"
PROLONGATION_FINE = "Lagrange prolongation requires at least one fine interval"
TRANSFORMATION_DEGREE = "Lagrange to Legendre conversion not meaningful for degree 0"
ALREADY_BORROWED = "Already borrowed"
ALREADY_MUTABLY_BORROWED = "Already mutably borrowed"
SET_DOFS_WRONG_LENGTH = (
    "assertion `left == right` failed: LegendreBasisEvaluator: set_dofs: input vector has wrong length"
)


@functools.cache
def panic_exception_type():
    """The module's PanicException, which it does not export: provoked once by an internal failure."""
    import pwpoly

    try:
        pwpoly.lagrange_prolongation_matrix(2, 2, 0)
    except BaseException as exc:
        return type(exc)
    raise AssertionError("expected a PanicException")


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
    """Run ``code`` in a fresh interpreter, which can import this module; returns the CompletedProcess."""
    full_env = dict(os.environ)
    full_env["PYTHONPATH"] = os.pathsep.join(filter(None, [TESTS_DIR, full_env.get("PYTHONPATH")]))
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
