"""Pipeline engine for interactive notebooks: cells become the nodes of a cached DAG."""

__version__ = "0.1.0"
