"""The front end: notebook magics, the default callback, pipeline views and the notebook runner."""

from __future__ import annotations

from typing import Any


def load_ipython_extension(shell: Any) -> None:
    """``%load_ext orvane_core``: registers ``%%component`` and ``%orvane`` in the shell."""
    from orvane_core.frontend.magics import OrvaneMagics

    magics = OrvaneMagics(shell)
    shell.register_magics(magics)
    shell.orvane_session = magics.session


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
    """Raises a short error when a run ended with failed components."""
    if report.failed:
        from orvane_core.frontend.session import OrvaneRunError

        raise OrvaneRunError(f"{', '.join(report.failed)} failed; see the error above.")
