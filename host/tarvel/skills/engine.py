"""Stand-in for the host's tarvel.skills.engine: skills, their steps and a registry.

Only what the creator relies on: a `SkillDefinition` base whose `to_dict()`
gives its public attributes, a `SkillStep` taking the seven step keywords, and
a `SkillRegistry` with `register` and a `_skills` dict keyed by skill name.
"""

from __future__ import annotations

from dataclasses import dataclass, field
from typing import Any


@dataclass
class SkillStep:
    """One operation of the "pc" tool, with its parameters."""

    description: str
    operation: str
    params: dict[str, Any] = field(default_factory=dict)
    wait_after: float = 1.0
    retry_on_fail: bool = False
    max_retries: int = 2
    optional: bool = False


class SkillDefinition:
    """A skill the agent can run: a name, what it does, and its steps."""

    name: str = ""
    description: str = ""

    def build_steps(self, params: dict[str, Any]) -> list[SkillStep]:
        """The steps to run for these parameter values."""
        return []

    def to_dict(self) -> dict[str, Any]:
        """The skill's public attributes."""
        return {k: v for k, v in vars(self).items() if not k.startswith("_")}


class SkillRegistry:
    """The live skills, by name."""

    def __init__(self) -> None:
        self._skills: dict[str, SkillDefinition] = {}

    def register(self, skill: SkillDefinition) -> None:
        """Make `skill` live under its name, replacing any skill of that name."""
        self._skills[skill.name] = skill

    def get(self, name: str) -> SkillDefinition | None:
        """The live skill named `name`, if any."""
        return self._skills.get(name)

    def names(self) -> list[str]:
        """The names of the live skills, sorted."""
        return sorted(self._skills)
