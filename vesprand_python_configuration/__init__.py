"""Start-up and configuration for back-end services: settings assembly,
console logging, chat alerts, Redis access, bootstrap and shared enumerations."""

import typing

__version__ = "0.1.0"


class LoggerLike(typing.Protocol):
    """What the package asks of a logger it is given: a logging.Logger, the
    CustomLogger and AsyncLogger of scribeset, or any object with these."""

    def info(self, msg: str, /) -> None: ...
    def warning(self, msg: str, /) -> None: ...
    def error(self, msg: str, /, *, exc_info: bool = False) -> None: ...
    def debug(self, msg: str, /) -> None: ...


def _use_built_modules() -> None:
    """`python3 -m vesprand_python_configuration` run in a source checkout's
    root finds this source folder first on sys.path, and it holds no built
    modules. The package's modules (and its __main__) are then taken from the
    next folder of sys.path that holds them: the installed package, or a
    build tree given in PYTHONPATH."""
    import importlib.machinery
    import os
    import sys

    def built(folder: str) -> bool:
        suffixes = importlib.machinery.EXTENSION_SUFFIXES
        return any(os.path.isfile(os.path.join(folder, "bootkit" + s)) for s in suffixes)

    here = os.path.dirname(os.path.abspath(__file__))
    if built(here):
        return
    for entry in sys.path:
        folder = os.path.join(os.path.abspath(entry or os.curdir), __name__)
        if folder != here and built(folder):
            __path__[:] = [folder]
            return


_use_built_modules()
del _use_built_modules
