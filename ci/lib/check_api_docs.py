"""Checks that the public API of both modules is documented completely.

Every public function, method (``__call__`` included) and class of pwpoly
(read from its stub, src/lib/pwpoly/pwpoly.pyi) and of pwpoly_arrays (imported)
must have a docstring that

* opens with a one-line summary that is a whole sentence (ends with a
  period, followed by a blank line or nothing), since the API reference
  shows that line in its summary tables;
* has a numpydoc ``Parameters`` section when it takes parameters (for a
  class: those of its constructor), a ``Returns`` section when it returns
  something, and a ``Raises`` section;

and every public property a docstring of the form ``<type>: <description>``,
the form the API reference renders as the property's type.

    python ci/lib/check_api_docs.py [--stub src/lib/pwpoly/pwpoly.pyi]

Prints every gap and exits with status 1 when there is one.
"""

import argparse
import ast
import inspect
import os
import re
import sys

REPO = os.path.dirname(os.path.dirname(os.path.dirname(os.path.abspath(__file__))))
SECTION = re.compile(r"^\s*(Parameters|Returns|Raises|Yields|Notes|Examples|See Also)\s*\n\s*-{3,}\s*$", re.M)


def sections(doc):
    return set(SECTION.findall(doc))


def summary_problem(doc):
    lines = doc.strip("\n").splitlines()
    if not lines or not lines[0].strip():
        return "no summary line"
    if not lines[0].rstrip().endswith("."):
        return f"summary line is not a whole sentence: {lines[0].strip()!r}"
    if len(lines) > 1 and lines[1].strip():
        return f"summary runs on over several lines: {lines[0].strip()!r} ..."
    return None


def check_doc(name, doc, takes_parameters, returns_something, problems):
    if not doc:
        problems.append(f"{name}: no docstring")
        return
    if problem := summary_problem(doc):
        problems.append(f"{name}: {problem}")
    found = sections(doc)
    needed = [("Parameters", takes_parameters), ("Returns", returns_something), ("Raises", True)]
    for section, wanted in needed:
        if wanted and section not in found:
            problems.append(f"{name}: no {section} section")


def check_property(name, doc, problems):
    if not doc or not re.match(r"^[\w.\[\], |()]+: \S", doc.strip()):
        problems.append(f"{name}: property docstring is not '<type>: <description>': {doc!r}")


# ---- pwpoly, from its stub ------------------------------------------------------


def stub_params(function):
    args = function.args
    names = [a.arg for a in args.posonlyargs + args.args + args.kwonlyargs]
    return [n for n in names if n not in ("self", "cls")]


def stub_returns(function):
    r = function.returns
    return not (r is None or (isinstance(r, ast.Constant) and r.value is None))


def check_stub(path, problems):
    tree = ast.parse(open(path, encoding="utf-8").read())
    for node in tree.body:
        if isinstance(node, ast.FunctionDef) and not node.name.startswith("_"):
            check_doc(
                f"pwpoly.{node.name}", ast.get_docstring(node), bool(stub_params(node)), stub_returns(node), problems
            )
        elif isinstance(node, ast.ClassDef) and not node.name.startswith("_"):
            methods = {m.name: m for m in node.body if isinstance(m, ast.FunctionDef)}
            constructor = methods.get("__new__") or methods.get("__init__")
            check_doc(
                f"pwpoly.{node.name}",
                ast.get_docstring(node),
                constructor is not None and bool(stub_params(constructor)),
                False,
                problems,
            )
            for name, m in methods.items():
                if name.startswith("_") and name != "__call__":
                    continue
                full = f"pwpoly.{node.name}.{name}"
                if any(isinstance(d, ast.Name) and d.id == "property" for d in m.decorator_list):
                    check_property(full, ast.get_docstring(m), problems)
                else:
                    check_doc(full, ast.get_docstring(m), bool(stub_params(m)), stub_returns(m), problems)


# ---- pwpoly_arrays, imported -----------------------------------------------------


def runtime_params(function):
    try:
        signature = inspect.signature(function)
    except (TypeError, ValueError):
        return True
    return any(p.name not in ("self", "cls") for p in signature.parameters.values())


def runtime_returns(function):
    try:
        annotation = inspect.signature(function).return_annotation
    except (TypeError, ValueError):
        return True
    return annotation not in (None, "None", inspect.Signature.empty)


def check_package(problems):
    import pwpoly_arrays

    for name in pwpoly_arrays.__all__:
        obj = getattr(pwpoly_arrays, name)
        full = f"pwpoly_arrays.{name}"
        if inspect.isclass(obj):
            constructor = obj.__dict__.get("__new__") or obj.__dict__.get("__init__")
            check_doc(
                full, inspect.getdoc(obj), constructor is not None and runtime_params(constructor), False, problems
            )
            for attr, member in obj.__dict__.items():
                if attr.startswith("_") and attr != "__call__":
                    continue
                if isinstance(member, property):
                    check_property(f"{full}.{attr}", member.__doc__, problems)
                elif isinstance(member, (classmethod, staticmethod)):
                    f = member.__func__
                    check_doc(f"{full}.{attr}", inspect.getdoc(f), runtime_params(f), runtime_returns(f), problems)
                elif inspect.isfunction(member):
                    check_doc(
                        f"{full}.{attr}",
                        inspect.getdoc(member),
                        runtime_params(member),
                        runtime_returns(member),
                        problems,
                    )
        elif callable(obj):
            check_doc(full, inspect.getdoc(obj), runtime_params(obj), runtime_returns(obj), problems)


def main():
    parser = argparse.ArgumentParser(description=__doc__.splitlines()[0])
    parser.add_argument("--stub", default=os.path.join(REPO, "src", "lib", "pwpoly", "pwpoly.pyi"))
    args = parser.parse_args()
    problems = []
    check_stub(args.stub, problems)
    check_package(problems)
    for p in problems:
        print(p)
    print(f"API documentation: {len(problems)} gap(s)" if problems else "API documentation: complete")
    return 1 if problems else 0


if __name__ == "__main__":
    sys.exit(main())
