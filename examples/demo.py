"""Example: a few notebook cells run as pipeline components in a real IPython shell."""

print("The example pipeline arrives with the pipeline engine.")
