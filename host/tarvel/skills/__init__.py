"""Stand-in for the host's `tarvel.skills` package (see tarvel/__init__.py)."""

from pkgutil import extend_path

__path__ = extend_path(__path__, __name__)
