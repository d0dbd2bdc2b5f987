"""The pipeline engine (native ``pipeline`` module) and its graph base class (``_dag``)."""
