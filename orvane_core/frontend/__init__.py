"""The front end: notebook magics, the default callback, pipeline views and the notebook runner."""

from __future__ import annotations

from typing import Any


def load_ipython_extension(shell: Any) -> None:
    """``%load_ext orvane_core``: registers ``%%component`` and ``%orvane`` in the shell."""
    from orvane_core.frontend.magics import OrvaneMagics

    magics = OrvaneMagics(shell)
    shell.register_magics(magics)
    shell.orvane_session = magics.session
    if _preset:
        magics.session.configure(**_preset)


_preset: dict[str, Any] = {}


def preset(**options: Any) -> None:
    """Options (as ``OrvaneSession.configure`` takes) for the session of this kernel, applied
    when the notebook loads the extension, or now if it is loaded: the command-line runner sets
    them up without loading the extension itself, which the notebook's own ``%load_ext`` would
    then report as loaded already."""
    from IPython import get_ipython

    _preset.update(options)
    session = getattr(get_ipython(), "orvane_session", None)
    if session is not None:
        session.configure(**options)


def current_session(shell: Any = None) -> Any:
    """The session of the extension loaded in ``shell`` (the running one by default)."""
    if shell is None:
        from IPython import get_ipython

        shell = get_ipython()
    found = getattr(shell, "orvane_session", None)
    if found is None:
        load_ipython_extension(shell)
        found = shell.orvane_session
    return found


def check_report(report: Any) -> None:
    """Raises a short error when a run ended with failed components; an interrupted run names
    those that were running when it stopped (the command line says so)."""
    if report.failed:
        from orvane_core.frontend.session import OrvaneRunError

        stopped = [n for n in report.failed if report.errors.get(n) == "KeyboardInterrupt"]
        if stopped:
            raise OrvaneRunError(f"Interrupted while running {', '.join(stopped)}; run again.")
        raise OrvaneRunError(f"{', '.join(report.failed)} failed; see the error above.")
