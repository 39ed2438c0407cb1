"""Stand-in for the host application's package `tarvel`.

A host package with an __init__.py of its own must let installed subpackages
join it; extend_path adds every `tarvel` folder on sys.path (site-packages
included, where tarvel.core.scheduler is installed) to this package's path.
"""

from pkgutil import extend_path

__path__ = extend_path(__path__, __name__)
