"""Pipeline engine for interactive notebooks: cells become the nodes of a cached DAG."""

__version__ = "0.1.0"


def load_ipython_extension(shell):
    """``%load_ext orvane_core`` loads the notebook magics (``%%component``, ``%orvane``)."""
    from orvane_core.frontend import load_ipython_extension as load

    load(shell)
