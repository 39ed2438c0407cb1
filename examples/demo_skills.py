"""examples/demo_skills.py: the stand-in host's session with tarvel.skills.creator.

The host points the creator's SKILLS_DIR and IMPROVEMENT_LOG at its data
directory (here a temporary one of the demo's own), reloads the stored skills into its live
registry, and hands the creator the dictionaries its model produced.
"""

import json
import os
import sys
import tempfile
from pathlib import Path

sys.path.insert(0, str(Path(__file__).resolve().parent.parent / "host"))

from tarvel.skills import creator  # noqa: E402
from tarvel.skills.engine import SkillRegistry  # noqa: E402

# What a model returns when asked to design a skill.
SIMPLE_SKILL = {
    "name": "play_playlist",
    "description": "Open Spotify and play a playlist by name",
    "app": "spotify",
    "category": "music",
    "triggers": ["play playlist", "put on"],
    "required_params": ["playlist"],
    "optional_params": ["volume"],
    "steps": [
        {"operation": "open_app", "description": "Open Spotify", "params": {"name": "Spotify"}},
        {"operation": "keyboard_hotkey", "description": "Focus search", "params": {"keys": "ctrl+l"}},
        {"operation": "keyboard_type", "description": "Search for {{playlist}}",
         "params": {"text": "{{playlist}}"}, "wait_after": 2},
        {"operation": "keyboard_press", "description": "Play at volume {{volume}}",
         "params": {"key": "enter"}, "optional": True},
    ],
    "reason": "The user asks for playlists every evening",
}

PYTHON_SKILL = {
    "type": "python",
    "name": "disk_report",
    "description": "Report free disk space per drive",
    "category": "system",
    "triggers": ["disk space"],
    "code": (
        "import shutil\n"
        "\n"
        "async def run(ctx, params):\n"
        "    usage = shutil.disk_usage(params.get('path', '/'))\n"
        "    return {'free_gb': round(usage.free / 2**30, 1)}\n"
    ),
}

# A skill file left by an earlier session.
STORED_SKILL = {
    "name": "open_inbox",
    "description": "Open the mail inbox in the browser",
    "app": "browser",
    "category": "email",
    "triggers": ["check mail"],
    "required_params": [],
    "optional_params": [],
    "steps": [{"operation": "open_url", "description": "Open the inbox",
               "params": {"url": "https://mail.example.com"}}],
    "reason": "",
    "version": 1,
}


def main(home: Path) -> None:
    """The creator's session, with every file under `home`."""
    print(creator.__doc__.splitlines()[0])
    creator.SKILLS_DIR = home / "skills"
    creator.IMPROVEMENT_LOG = home / "improvement_log.json"
    creator.SKILLS_DIR.mkdir(parents=True, exist_ok=True)
    (creator.SKILLS_DIR / "open_inbox.json").write_text(json.dumps(STORED_SKILL, indent=2))
    print(f"skills directory: {creator.SKILLS_DIR}\n")

    registry = SkillRegistry()
    skills = creator.get_skill_creator()
    print(f"load_into_registry(): {skills.load_into_registry(registry)} -> {registry.names()}")

    ok, message, skill = skills.create_from_dict(SIMPLE_SKILL, registry)
    print(f"\ncreate_from_dict(simple): {ok}, {message}")
    print(f"  live skills: {registry.names()}")
    ok, message, _ = skills.create_from_dict(PYTHON_SKILL, registry)
    print(f"create_from_dict(python): {ok}, {message}")
    bad = dict(SIMPLE_SKILL, name="bad-name", steps=[{"operation": "teleport"}])
    print(f"create_from_dict(invalid): {skills.create_from_dict(bad)[1]}")

    print("\nbuild_steps({'playlist': 'Evening Jazz', 'volume': 40}):")
    for step in skill.build_steps({"playlist": "Evening Jazz", "volume": 40}):
        print(f"  {step.operation:<16} {step.description:<28} {step.params}"
              f" wait={step.wait_after}")

    improved = dict(SIMPLE_SKILL, reason="Wait longer for slow search results")
    improved["steps"] = [dict(s) for s in SIMPLE_SKILL["steps"]]
    improved["steps"][2]["wait_after"] = 3.5
    print(f"\nupdate: {skills.create_from_dict(improved, registry)[1]}")
    print(f"delete: {skills.delete_skill('open_inbox', registry)}")
    print(f"  live skills: {registry.names()}")
    skills.log_learning("play_playlist", "Works well with long playlist names")

    print("\nlist_saved_skills():")
    for entry in skills.list_saved_skills():
        print(f"  {entry['name']:<14} v{entry['version']}  {entry['category']:<8}"
              f" {entry['steps_count']} steps  {Path(entry['file']).name}")
    print("\nget_improvement_log():")
    for entry in skills.get_improvement_log():
        print(f"  {entry['timestamp']}  {entry['action']:<8} {entry['skill_name']:<14}"
              f" {entry['reason']}")
    print(f"\nget_improvement_stats(): {skills.get_improvement_stats()}")


if __name__ == "__main__":
    with tempfile.TemporaryDirectory(prefix="tarvel-demo-") as folder:
        main(Path(folder))
