"""Sphinx configuration of pwpoly's documentation (built by ci/docs.sh)."""

import os
import tomllib

HERE = os.path.dirname(os.path.abspath(__file__))
REPO = os.path.dirname(HERE)

project = "pwpoly"
author = "the pwpoly developers"
copyright = "the pwpoly developers"
with open(os.path.join(REPO, "pyproject.toml"), "rb") as pyproject:
    release = tomllib.load(pyproject)["project"]["version"]

extensions = [
    "autoapi.extension",
    "sphinx.ext.doctest",
    "sphinx.ext.mathjax",
    "sphinx.ext.napoleon",
]

# The API reference is generated from the type stubs, which carry the
# documentation (the compiled module's own docstrings are empty). A further
# module's stubs or package directory is added to this list.
# pwpoly's stubs live beside the boundary's sources; a Python package of the
# distribution (pwpoly_arrays) is documented from its own annotated source.
autoapi_type = "python"
autoapi_dirs = [os.path.join(REPO, "src", "lib")] + [
    path for path in [os.path.join(REPO, "pwpoly_arrays")] if os.path.isdir(path)
]
autoapi_file_patterns = ["*.pyi", "*.py"]
autoapi_root = "api"
autoapi_options = ["members", "imported-members", "show-module-summary"]
autoapi_member_order = "bysource"
autoapi_keep_files = False
autoapi_add_toctree_entry = True  # writes api/index.rst, listed in index.rst


def _signature_from_new():
    """Show a class's constructor arguments when it is built by ``__new__``.

    AutoAPI takes a class's signature from ``__init__`` only; pwpoly's classes
    have no ``__init__`` of their own (the stubs declare ``__new__``, which is
    what the runtime has).
    """
    from autoapi import _objects

    plain = _objects.PythonClass.args

    def args(self):
        if self.constructor is None:
            for child in self.children:
                if child.short_name == "__new__":
                    return _objects._format_args(child.obj["args"], ignore_self="cls")
        return plain.fget(self)

    _objects.PythonClass.args = property(args)


_signature_from_new()

napoleon_numpy_docstring = True
napoleon_google_docstring = False
napoleon_use_rtype = False

# Formulas are typeset by MathJax 2 served from the site itself, so that the
# documentation reads offline: the files a page needs (TeX input, CommonHTML
# output, its web fonts, the menu and accessibility extensions) are copied from
# Debian's libjs-mathjax, or from the MathJax 2.7 tree that PWPOLY_MATHJAX_DIR
# names, into _static/mathjax when the HTML is written.
MATHJAX_DIR = os.environ.get("PWPOLY_MATHJAX_DIR", "/usr/share/javascript/mathjax")
MATHJAX_CONFIG = "TeX-AMS_CHTML"
MATHJAX_FILES = [
    "MathJax.js",
    f"config/{MATHJAX_CONFIG}.js",
    "extensions",
    "jax/element",
    "jax/input/TeX",
    "jax/output/CommonHTML",
    "fonts/HTML-CSS/TeX/woff",
    "localization/en",
]
mathjax_path = f"mathjax/MathJax.js?config={MATHJAX_CONFIG}"

html_theme = "furo"
html_title = "pwpoly"
templates_path = []
exclude_patterns = ["_build", "figures/README.md"]

# Doctests in the guide run against the pwpoly that is importable.
doctest_global_setup = "import pwpoly"


def _check_mathjax(app):
    if app.builder.format != "html":
        return
    missing = [f for f in MATHJAX_FILES if not os.path.exists(os.path.join(MATHJAX_DIR, f))]
    if missing:
        from sphinx.errors import ConfigError

        raise ConfigError(
            f"MathJax 2.7 not found in {MATHJAX_DIR} (missing {', '.join(missing)}): install Debian's "
            "libjs-mathjax or set PWPOLY_MATHJAX_DIR to a MathJax 2.7 tree"
        )


def _copy_mathjax(app, exception):
    if exception is not None or app.builder.format != "html":
        return
    import shutil

    target = os.path.join(app.outdir, "_static", "mathjax")
    for name in MATHJAX_FILES:
        source, destination = os.path.join(MATHJAX_DIR, name), os.path.join(target, name)
        # Debian's fonts are links into /usr/share/fonts: copy what they point to.
        if os.path.isdir(source):
            shutil.copytree(source, destination, dirs_exist_ok=True)
        else:
            os.makedirs(os.path.dirname(destination), exist_ok=True)
            shutil.copyfile(source, destination)


def setup(app):
    app.connect("builder-inited", _check_mathjax)
    app.connect("build-finished", _copy_mathjax)
