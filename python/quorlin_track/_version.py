"""The version of the installed distribution, as its metadata records it."""

from importlib.metadata import version

__version__: str = version("quorlin")
