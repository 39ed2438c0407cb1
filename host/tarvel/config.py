"""Stand-in for the host's tarvel.config: where the agent keeps its data."""

import os
from pathlib import Path


def tarvel_dir() -> Path:
    """The per-user data directory: $TARVEL_DIR if set, else ~/.tarvel."""
    override = os.environ.get("TARVEL_DIR")
    return Path(override) if override else Path.home() / ".tarvel"
