"""Skill Creator — lets the agent create, improve and manage its own skills."""

import ast as ast
import json as json
import logging
import re as re
from dataclasses import dataclass as dataclass, field as field
from datetime import datetime as datetime
from pathlib import Path as Path
from typing import Any as Any, ClassVar, Literal, NotRequired, TypedDict, type_check_only

from tarvel.skills.engine import SkillDefinition as SkillDefinition, SkillStep as SkillStep

logger: logging.Logger
SKILLS_DIR: Path
IMPROVEMENT_LOG: Path
DURABLE_WRITES: bool
_MAX_PATH: int | None

@dataclass
class SkillBlueprint:
    """A blueprint for a new skill before it's created."""

    name: str
    description: str
    app: str
    category: str
    triggers: list[str]
    required_params: list[str]
    optional_params: list[str]
    steps: list[dict[str, Any]]
    reason: str = ""
    version: int = 1
    def to_dict(self) -> dict[str, Any]: ...

@dataclass
class ImprovementEntry:
    """A log entry for a self-improvement action."""

    timestamp: str
    action: str
    skill_name: str
    reason: str
    details: dict[str, Any] = ...
    success: bool = True
    def to_dict(self) -> dict: ...

# The dictionaries the creator reports, for type checkers only (import them under
# `if TYPE_CHECKING:`): a misspelt key is an error.

@type_check_only
class SkillListing(TypedDict):
    """A stored skill as `list_saved_skills` lists it."""

    name: str
    description: str
    app: str
    category: str
    triggers: list[str]
    steps_count: int
    version: int
    reason: str
    file: str
    type: NotRequired[Literal["simple", "python"]]  # with_type=True

@type_check_only
class SkillVersion(TypedDict):
    """A kept or stored version of a skill, as `list_skill_versions` lists it."""

    version: int
    file: str
    kind: Literal["simple", "python"]
    saved_at: str
    description: str
    current: bool

@type_check_only
class Placeholders(TypedDict):
    """The parameters a skill declares and those it reads."""

    declared: list[str]
    used: list[str]
    undeclared: list[str]
    unused: list[str]

@type_check_only
class RiskyOperation(TypedDict):
    """A step that starts, runs or ends programs: its index and operation."""

    step: int
    operation: str

@type_check_only
class SkillReview(TypedDict):
    """What `review_skill` reports; "kind" is None when there is no skill to read."""

    kind: Literal["simple", "python"] | None
    has_run: bool | None
    imports: list[str]
    risky_calls: list[str]
    risky_operations: list[RiskyOperation]
    placeholders: Placeholders
    problems: list[str]

@type_check_only
class ImprovementRecord(TypedDict):
    """An entry of the improvement log, as `get_improvement_log` reports it."""

    timestamp: str
    action: str
    skill_name: str
    reason: str
    details: dict[str, Any]
    success: bool

@type_check_only
class ImprovementStats(TypedDict):
    """What `get_improvement_stats` reports."""

    total_improvements: int
    skills_created: int
    skills_updated: int
    skills_deleted: int
    learnings_recorded: int
    active_custom_skills: int
    categories_covered: list[str]

class DynamicSkill(SkillDefinition):
    """A skill created at runtime from a JSON blueprint."""

    _blueprint: SkillBlueprint
    name: str
    description: str
    app: str
    category: str
    triggers: list[str]
    required_params: list[str]
    optional_params: list[str]
    _raw_steps: list[dict[str, Any]]
    def __init__(self, blueprint: SkillBlueprint) -> None: ...
    def build_steps(self, params: dict[str, Any]) -> list[SkillStep]: ...
    def to_dict(self) -> dict[str, Any]: ...

class SkillCreator:
    """Creates, validates, persists, and manages dynamic skills."""

    VALID_OPERATIONS: ClassVar[set[str]]
    VALID_CATEGORIES: ClassVar[set[str]]
    _improvement_log: list[ImprovementEntry]
    # What the last load of the improvement log found wrong, one sentence each ("<path>: ...");
    # empty when it loaded whole or did not exist. A merge of another process's save adds to it.
    load_problems: list[str]
    def __init__(self) -> None: ...
    def validate_blueprint(self, blueprint: SkillBlueprint) -> tuple[bool, list[str]]: ...
    def create_skill(
        self, blueprint: SkillBlueprint, registry: Any = None
    ) -> tuple[bool, str, DynamicSkill | None]: ...
    def create_from_dict(self, data: dict, registry: Any = None) -> tuple[bool, str, DynamicSkill | None]: ...
    def _create_python_skill(
        self, data: dict, registry: Any = None
    ) -> tuple[bool, str, DynamicSkill | None]: ...
    def load_saved_skills(self) -> list[DynamicSkill]: ...
    def load_into_registry(self, registry: Any) -> int: ...
    def delete_skill(self, name: str, registry: Any = None) -> tuple[bool, str]: ...
    def list_saved_skills(self, with_type: bool = False) -> list[SkillListing]: ...
    def get_skill_source(self, name: str) -> dict | None: ...
    def get_skill_code(self, name: str, version: int | None = None) -> str | None: ...
    def list_skill_versions(self, name: str) -> list[SkillVersion]: ...
    def rollback_skill(self, name: str, version: int, registry: Any = None) -> tuple[bool, str]: ...
    def review_skill(self, name_or_data: str | dict) -> SkillReview: ...
    def _log_improvement(self, entry: ImprovementEntry) -> None: ...
    def log_learning(self, skill_name: str, reason: str, details: dict | None = None) -> None: ...
    def get_improvement_log(self, limit: int = 50) -> list[ImprovementRecord]: ...
    def get_improvement_stats(self) -> ImprovementStats: ...
    def _load_improvement_log(self) -> None: ...
    def _save_improvement_log(self) -> None: ...

_creator_instance: SkillCreator | None

def get_skill_creator() -> SkillCreator: ...
