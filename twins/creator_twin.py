"""twins/creator_twin.py: the skill creator written in plain Python.

The creator tests compare the module's records, steps and improvement log
with these, and the creator benchmark times SkillCreator beside the native
one as its baseline. Its paths and clock are module globals, as the module's
are, so a caller points them elsewhere.
"""

from __future__ import annotations

import json
import logging
import re
from dataclasses import dataclass, field
from datetime import datetime
from pathlib import Path
from typing import Any

from tarvel.skills.engine import SkillDefinition, SkillStep

logger = logging.getLogger("tarvel.skills.creator")

SKILLS_DIR = Path.home() / ".tarvel" / "skills"
IMPROVEMENT_LOG = Path.home() / ".tarvel" / "improvement_log.json"


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

    def to_dict(self) -> dict[str, Any]:
        return {
            "name": self.name,
            "description": self.description,
            "app": self.app,
            "category": self.category,
            "triggers": self.triggers,
            "required_params": self.required_params,
            "optional_params": self.optional_params,
            "steps": self.steps,
            "reason": self.reason,
            "version": self.version,
        }


@dataclass
class ImprovementEntry:
    """A log entry for a self-improvement action."""

    timestamp: str
    action: str
    skill_name: str
    reason: str
    details: dict[str, Any] = field(default_factory=dict)
    success: bool = True

    def to_dict(self) -> dict:
        return {
            "timestamp": self.timestamp,
            "action": self.action,
            "skill_name": self.skill_name,
            "reason": self.reason,
            "details": self.details,
            "success": self.success,
        }


def improvement_log_text(entries: list[ImprovementEntry]) -> str:
    """The text of the improvement log: every entry's dict, in order."""
    return json.dumps([e.to_dict() for e in entries], indent=2)


class DynamicSkill(SkillDefinition):
    """A skill created at runtime from a JSON blueprint."""

    def __init__(self, blueprint: SkillBlueprint):
        self._blueprint = blueprint
        self.name = blueprint.name
        self.description = blueprint.description
        self.app = blueprint.app
        self.category = blueprint.category
        self.triggers = blueprint.triggers
        self.required_params = blueprint.required_params
        self.optional_params = blueprint.optional_params
        self._raw_steps = blueprint.steps

    def build_steps(self, params: dict[str, Any]) -> list[SkillStep]:
        """Build steps from the blueprint, substituting parameter values."""
        steps = []
        for raw in self._raw_steps:
            resolved_params = {}
            for key, value in raw.get("params", {}).items():
                if isinstance(value, str):
                    for pname, pvalue in params.items():
                        value = value.replace(f"{{{{{pname}}}}}", str(pvalue))
                resolved_params[key] = value
            description = raw.get("description", "")
            for pname, pvalue in params.items():
                description = description.replace(f"{{{{{pname}}}}}", str(pvalue))
            steps.append(
                SkillStep(
                    description=description,
                    operation=raw.get("operation", ""),
                    params=resolved_params,
                    wait_after=raw.get("wait_after", 1.0),
                    retry_on_fail=raw.get("retry_on_fail", False),
                    max_retries=raw.get("max_retries", 2),
                    optional=raw.get("optional", False),
                )
            )
        return steps

    def to_dict(self) -> dict[str, Any]:
        d = super().to_dict()
        d["dynamic"] = True
        d["version"] = self._blueprint.version
        d["reason"] = self._blueprint.reason
        d["steps"] = self._raw_steps
        return d


class SkillCreator:
    """Creates, validates, persists, and manages dynamic skills."""

    VALID_OPERATIONS = {
        "open_app", "close_app", "open_url", "open_file", "open_folder", "run_command",
        "list_processes", "kill_process", "get_clipboard", "set_clipboard", "send_notification",
        "list_apps", "system_info", "active_window", "navigate", "browser_click", "browser_type",
        "browser_press", "fill_form", "select_option", "browser_hover", "browser_scroll",
        "get_page", "get_elements", "browser_screenshot", "new_tab", "close_tab", "switch_tab",
        "list_tabs", "evaluate_js", "wait_for_text", "mouse_click", "mouse_move", "mouse_scroll",
        "keyboard_type", "keyboard_press", "keyboard_hotkey", "keyboard_shortcut", "screenshot",
        "read_screen", "find_text_on_screen",
    }  # fmt: skip
    VALID_CATEGORIES = {
        "messaging", "calendar", "email", "music", "files", "browser", "productivity", "social",
        "shopping", "finance", "development", "system", "media", "education", "health", "travel",
        "food", "gaming", "communication", "utility", "custom",
    }  # fmt: skip

    def __init__(self):
        SKILLS_DIR.mkdir(parents=True, exist_ok=True)
        self._improvement_log: list[ImprovementEntry] = []
        self._load_improvement_log()

    def validate_blueprint(self, blueprint: SkillBlueprint) -> tuple[bool, list[str]]:
        """Validate a skill blueprint before creation."""
        errors = []
        if not blueprint.name:
            errors.append("Skill name is required")
        elif not blueprint.name.replace("_", "").isalnum():
            errors.append("Skill name must be alphanumeric with underscores only")
        elif len(blueprint.name) > 64:
            errors.append("Skill name must be 64 characters or less")
        if not blueprint.description:
            errors.append("Description is required")
        if not blueprint.app:
            errors.append("App name is required")
        if blueprint.category and blueprint.category not in self.VALID_CATEGORIES:
            valid = ", ".join(sorted(self.VALID_CATEGORIES))
            errors.append(f"Invalid category: {blueprint.category}. Valid: {valid}")
        if not blueprint.triggers:
            errors.append("At least one trigger keyword is required")
        if not blueprint.steps:
            errors.append("At least one step is required")
        for i, step in enumerate(blueprint.steps, 1):
            op = step.get("operation")
            if not op:
                errors.append(f"Step {i}: operation is required")
            elif op not in self.VALID_OPERATIONS:
                errors.append(
                    f"Step {i}: unknown operation '{op}'. See pc tool for valid operations."
                )
            if not step.get("description"):
                errors.append(f"Step {i}: description is required")
        declared = set(blueprint.required_params + blueprint.optional_params)
        for i, step in enumerate(blueprint.steps, 1):
            for value in step.get("params", {}).values():
                if isinstance(value, str) and "{{" in value:
                    for name in re.findall(r"\{\{(\w+)\}\}", value):
                        if name not in declared:
                            errors.append(
                                f"Step {i}: placeholder '{{{{{name}}}}}' not in "
                                "required_params or optional_params"
                            )
        return len(errors) == 0, errors

    def create_skill(self, blueprint: SkillBlueprint, registry=None):
        """Create a new skill from a blueprint."""
        valid, errors = self.validate_blueprint(blueprint)
        if not valid:
            return False, "Validation failed:\n" + "\n".join(f"  - {e}" for e in errors), None

        skill_path = SKILLS_DIR / f"{blueprint.name}.json"
        if skill_path.exists():
            try:
                existing = json.loads(skill_path.read_text())
                blueprint.version = existing.get("version", 1) + 1
                logger.info(f"Updating existing skill {blueprint.name} to v{blueprint.version}")
            except Exception:
                pass

        skill = DynamicSkill(blueprint)
        try:
            skill_path.write_text(json.dumps(blueprint.to_dict(), indent=2))
            logger.info(f"Saved skill to {skill_path}")
        except Exception as e:
            return False, f"Failed to save skill: {e}", None

        if registry is not None:
            registry.register(skill)
            logger.info(f"Hot-loaded skill {blueprint.name} into live registry")

        self._log_improvement(
            ImprovementEntry(
                timestamp=datetime.now().strftime("%Y-%m-%d %H:%M:%S"),
                action="created" if blueprint.version == 1 else "updated",
                skill_name=blueprint.name,
                reason=blueprint.reason or "Agent decided to create this skill",
                details={
                    "version": blueprint.version,
                    "steps": len(blueprint.steps),
                    "category": blueprint.category,
                    "app": blueprint.app,
                    "triggers": blueprint.triggers,
                },
            )
        )
        label = "Updated" if blueprint.version > 1 else "Created"
        return (
            True,
            f"{label} skill '{blueprint.name}' v{blueprint.version} ({len(blueprint.steps)} steps, "
            f"category: {blueprint.category}). It's now available for use.",
            skill,
        )

    def list_saved_skills(self) -> list[dict]:
        """List all saved skills with metadata."""
        skills = []
        if not SKILLS_DIR.exists():
            return skills
        for f in sorted(SKILLS_DIR.glob("*.json")):
            try:
                data = json.loads(f.read_text())
                skills.append(
                    {
                        "name": data.get("name", f.stem),
                        "description": data.get("description", ""),
                        "app": data.get("app", ""),
                        "category": data.get("category", "custom"),
                        "version": data.get("version", 1),
                        "triggers": data.get("triggers", []),
                        "steps_count": len(data.get("steps", [])),
                        "reason": data.get("reason", ""),
                        "file": str(f),
                    }
                )
            except Exception:
                pass
        return skills

    def _log_improvement(self, entry: ImprovementEntry):
        """Add an entry to the improvement log."""
        self._improvement_log.append(entry)
        self._save_improvement_log()

    def get_improvement_stats(self) -> dict:
        """Get statistics about self-improvement."""
        log = self._improvement_log
        created = sum(1 for e in log if e.action == "created")
        updated = sum(1 for e in log if e.action == "updated")
        deleted = sum(1 for e in log if e.action == "deleted")
        learned = sum(1 for e in log if e.action == "learned")
        saved = self.list_saved_skills()
        return {
            "total_improvements": len(log),
            "skills_created": created,
            "skills_updated": updated,
            "skills_deleted": deleted,
            "learnings_recorded": learned,
            "active_custom_skills": len(saved),
            "categories_covered": list(set(s["category"] for s in saved)),
        }

    def _load_improvement_log(self):
        """Load the improvement log from disk."""
        if not IMPROVEMENT_LOG.exists():
            return
        try:
            data = json.loads(IMPROVEMENT_LOG.read_text())
            self._improvement_log = [ImprovementEntry(**e) for e in data]
        except Exception as e:
            logger.warning(f"Failed to load improvement log: {e}")
            self._improvement_log = []

    def _save_improvement_log(self):
        """Save the improvement log to disk."""
        try:
            IMPROVEMENT_LOG.parent.mkdir(parents=True, exist_ok=True)
            IMPROVEMENT_LOG.write_text(improvement_log_text(self._improvement_log))
        except Exception as e:
            logger.warning(f"Failed to save improvement log: {e}")
