"""Shared utilities: the application's private directory and the installed-package list."""
