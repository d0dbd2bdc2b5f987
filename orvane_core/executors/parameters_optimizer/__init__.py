"""The hyper-parameter optimizer; the native ``optimizer`` module lives here."""
