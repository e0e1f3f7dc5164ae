"""Loads the private native module ``pwpoly_arrays._native``.

Its code lives in the pwpoly extension file itself, under a second module
init function (``PyInit__native``), so that both modules run one copy of the
native core and share its worker pool: two extension files that each link
the core would start two pools of worker threads. The file is found without
importing pwpoly, so pwpoly's own module (which declares that it needs the
interpreter lock) is not initialised on the way; loading the same file again
gives back the dynamic loader's existing handle.
"""

import importlib.machinery
import importlib.util
import sys
from types import ModuleType

NAME = "pwpoly_arrays._native"


def load_native() -> ModuleType:
    """Return the ``pwpoly_arrays._native`` module, loading it on first use."""
    module = sys.modules.get(NAME)
    if module is not None:
        return module
    spec = importlib.util.find_spec("pwpoly")
    if spec is None or not spec.origin or not spec.has_location:
        raise ImportError(
            "pwpoly_arrays needs the pwpoly extension module, which is installed with the same "
            "distribution (pip install 'pwpoly[arrays]'); it was not found",
            name=NAME,
        )
    loader = importlib.machinery.ExtensionFileLoader(NAME, spec.origin)
    native_spec = importlib.util.spec_from_file_location(NAME, spec.origin, loader=loader)
    if native_spec is None:
        raise ImportError(f"cannot load {NAME} from {spec.origin}", name=NAME)
    module = importlib.util.module_from_spec(native_spec)
    sys.modules[NAME] = module
    try:
        loader.exec_module(module)
    except BaseException:
        sys.modules.pop(NAME, None)
        raise
    return module
