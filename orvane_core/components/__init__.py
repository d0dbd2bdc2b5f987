"""Notebook components; the code-cell component is the native ``vostrel`` module."""
