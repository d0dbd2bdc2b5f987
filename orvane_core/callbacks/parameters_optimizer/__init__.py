"""Optimizer callbacks; the trial-progress callback is the native ``tracemark`` module."""
