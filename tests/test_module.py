"""Import, registration and the shape of the module's objects."""

import importlib
import sys
import weakref

import pytest

import pwpoly
from support import run_python

# In the order the module registers them.
NAMES = (
    "sum_as_string lagrange_to_legendre_basis_transformation lagrange_prolongation_matrix get_lagrange_points "
    "LegendreBasis LegendreBasisEvaluator"
).split()


def test_all_lists_names_in_registration_order():
    assert pwpoly.__all__ == NAMES


def test_reimport_returns_same_module_object():
    first = sys.modules["pwpoly"]
    first.some_attribute = 42
    del sys.modules["pwpoly"]
    try:
        second = importlib.import_module("pwpoly")
        assert second is first
        assert second.some_attribute == 42
        assert second.__all__ == NAMES
    finally:
        sys.modules["pwpoly"] = first
        del first.some_attribute


@pytest.mark.parametrize("name", NAMES[:4])
def test_functions_are_bound_to_the_module(name):
    fn = getattr(pwpoly, name)
    assert fn.__self__ is pwpoly
    assert fn.__module__ == "pwpoly"
    assert fn.__name__ == name


@pytest.mark.parametrize(
    "obj, signature, doc",
    [
        ("sum_as_string", "(a, b)", "Formats the sum of two numbers as string."),
        ("lagrange_to_legendre_basis_transformation", "(degree, n_t, periodic=False)", None),
        ("lagrange_prolongation_matrix", "(nt_coarse, nt_fine, degree, periodic=False)", None),
        ("get_lagrange_points", "(degree, n_t, T, periodic=False)", None),
        ("LegendreBasis", "(degree, n_t, T)", None),
        (
            "LegendreBasisEvaluator",
            "(degree, n_t, T)",
            "Class to evaluate legendre basis more often without copying the dofs from python each time",
        ),
        ("LegendreBasis.evaluate_at", "($self, t, legendre_vals)", None),
        ("LegendreBasis.evaluate_all_basis_functions", "($self, t)", None),
        ("LegendreBasis.evaluate_all_basis_function_derivatives", "($self, t)", None),
        ("LegendreBasisEvaluator.set_dofs", "($self, legendre_vals)", None),
        ("LegendreBasisEvaluator.evaluate_at", "($self, t)", None),
        ("LegendreBasisEvaluator.evaluate_derivative_at", "($self, t)", None),
        ("LegendreBasisEvaluator.evaluate_many", "($self, t_values)", None),
        ("LegendreBasisEvaluator.evaluate_derivative_many", "($self, t_values)", None),
    ],
)
def test_text_signatures_and_docstrings(obj, signature, doc):
    target = pwpoly
    for part in obj.split("."):
        target = getattr(target, part)
    assert target.__text_signature__ == signature
    assert (target.__doc__ or None) == doc


@pytest.mark.parametrize("cls_name", ["LegendreBasis", "LegendreBasisEvaluator"])
def test_class_shape(cls_name):
    cls = getattr(pwpoly, cls_name)
    assert cls.__module__ == "builtins"
    assert cls.__name__ == cls_name
    assert cls.__bases__ == (object,)
    with pytest.raises(TypeError):
        type("Derived", (cls,), {})
    obj = cls(1, 2, 2.0)
    with pytest.raises(AttributeError):
        obj.anything = 1
    with pytest.raises(TypeError):
        weakref.ref(obj)
    assert not hasattr(obj, "__dict__")
    for hidden in ("degree", "n_t", "T"):
        assert not hasattr(obj, hidden)


def test_method_receiver_of_wrong_type_is_a_type_error():
    with pytest.raises(TypeError):
        pwpoly.LegendreBasis.evaluate_at(pwpoly.LegendreBasisEvaluator(1, 2, 2.0), 0.5, [0.0] * 4)


SUBINTERPRETER_SCRIPT = r"""
import pwpoly

ATTEMPT = (
    "try:\n"
    "    import pwpoly\n"
    "    print('RESULT imported', flush=True)\n"
    "except ImportError as e:\n"
    "    print('RESULT ImportError', flush=True)\n"
)
try:
    import _testcapi
    run_legacy = _testcapi.run_in_subinterp
except (ImportError, AttributeError):
    run_legacy = None
if run_legacy is not None:
    # A legacy sub-interpreter lets the import reach the module's own check.
    run_legacy(ATTEMPT)
else:
    from concurrent import interpreters

    interpreters.create().exec(ATTEMPT)
"""


def test_sub_interpreter_import_is_refused():
    result = run_python(SUBINTERPRETER_SCRIPT)
    assert result.returncode == 0, result.stderr
    assert "RESULT ImportError" in result.stdout, (result.stdout, result.stderr)
