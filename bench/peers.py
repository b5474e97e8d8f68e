"""The peer libraries velmora is compared with.  Each is imported on its
own, so that a missing one is named and the run goes on without its column
instead of failing on the first import."""

from __future__ import annotations

import importlib
import importlib.machinery
import os
import sys

__all__ = [
    "PEERS",
    "CIMultiDict",
    "HttpxHeaders",
    "StarletteHeaders",
    "StarletteMutableHeaders",
    "WerkzeugHeaders",
    "available",
    "check",
]

PEERS = ("multidict", "werkzeug", "starlette", "httpx")
# What a run without them should tell the reader to do.
HOW_TO_GET = "`make bench` installs them, from the bench-peers group of pyproject.toml"

IMPORT_ERRORS: dict[str, str] = {}


def _import(peer: str, module: str, *names: str) -> tuple:
    """The named classes of a peer's module, or Nones with the reason kept."""
    try:
        loaded = importlib.import_module(module)
    except ImportError as exc:
        IMPORT_ERRORS[peer] = str(exc)
        return (None,) * len(names)
    return tuple(getattr(loaded, name) for name in names)


(CIMultiDict,) = _import("multidict", "multidict", "CIMultiDict")
(WerkzeugHeaders,) = _import("werkzeug", "werkzeug.datastructures", "Headers")
StarletteHeaders, StarletteMutableHeaders = _import(
    "starlette", "starlette.datastructures", "Headers", "MutableHeaders"
)
(HttpxHeaders,) = _import("httpx", "httpx", "Headers")


class PeerProblem(RuntimeError):
    pass


def available() -> tuple[str, ...]:
    return tuple(p for p in PEERS if p not in IMPORT_ERRORS)


def check(peers) -> None:
    """Raise PeerProblem unless every peer asked for imports and multidict
    runs its C build."""
    missing = [p for p in peers if p in IMPORT_ERRORS]
    if missing:
        raise PeerProblem(f"peer libraries missing ({'; '.join(f'{p}: {IMPORT_ERRORS[p]}' for p in missing)})")
    if "multidict" not in peers:
        return
    # A pure-Python CIMultiDict would flatter velmora by an order of magnitude.
    c_module = sys.modules.get("multidict._multidict")
    loader = getattr(c_module, "__loader__", None)
    if not (
        isinstance(loader, importlib.machinery.ExtensionFileLoader)
        and CIMultiDict.__module__ == "multidict._multidict"
        and CIMultiDict is getattr(c_module, "CIMultiDict", None)
    ):
        raise PeerProblem(
            f"multidict's C extension is not in use: CIMultiDict is {CIMultiDict.__module__}.{CIMultiDict.__qualname__}"
            f" (MULTIDICT_NO_EXTENSIONS={os.environ.get('MULTIDICT_NO_EXTENSIONS', '')!r}); comparing against the"
            " pure-Python build would be meaningless"
        )
