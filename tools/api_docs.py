"""tools/api_docs.py: writes docs/api.md, the reference of every public name of both modules.

Read from the installed modules themselves (signatures, docstrings, dataclass fields, enum
members) and from their stubs (the public attributes of instances), so the page says what the
modules are; tests/test_docs_blocks.py checks that the page is current.

    PYTHONPATH=host .venv/3.12/bin/python tools/api_docs.py > docs/api.md
"""

from __future__ import annotations

import ast
import dataclasses
import enum
import importlib
import inspect
from pathlib import Path

ROOT = Path(__file__).resolve().parent.parent
MODULES = {"tarvel.core.scheduler": ROOT / "core/scheduler/scheduler.pyi",
           "tarvel.skills.creator": ROOT / "skills/creator/creator.pyi"}


def stub_attributes(stub: Path) -> dict[str, dict[str, str]]:
    """Public names annotated at each class's top level in a stub, with their annotations."""
    found: dict[str, dict[str, str]] = {}
    for node in ast.parse(stub.read_text()).body:
        if isinstance(node, ast.ClassDef):
            found[node.name] = {n.target.id: ast.unparse(n.annotation) for n in node.body
                                if isinstance(n, ast.AnnAssign) and isinstance(n.target, ast.Name)
                                and not n.target.id.startswith("_")}
        elif isinstance(node, ast.AnnAssign) and isinstance(node.target, ast.Name):
            found.setdefault("", {})[node.target.id] = ast.unparse(node.annotation)
    return found


def doc(obj: object) -> str:
    # a class's own docstring only: an enum would show str's
    own = vars(obj).get("__doc__") if isinstance(obj, type) else obj.__doc__
    text = inspect.cleandoc(own) if isinstance(own, str) else ""
    return "\n".join("> " + line if line else ">" for line in text.splitlines()) + "\n" if text else ""


def signature(obj: object) -> str:
    try:
        return str(inspect.signature(obj))
    except (TypeError, ValueError):
        return "(...)"


def describe_class(name: str, cls: type, attributes: dict[str, str]) -> list[str]:
    bases = ", ".join(b.__name__ for b in cls.__bases__ if b is not object)
    out = [f"### `{name}`" + (f" ({bases})" if bases else ""), "", doc(cls)]
    if issubclass(cls, enum.Enum):
        out += ["Members: " + ", ".join(f'`{m.name}` ("{m.value}")' for m in cls), ""]
    elif dataclasses.is_dataclass(cls):
        out += ["| field | type | default |", "|---|---|---|"]
        for f in dataclasses.fields(cls):
            default = ("factory" if f.default_factory is not dataclasses.MISSING
                       else "required" if f.default is dataclasses.MISSING else repr(f.default))
            out.append(f"| `{f.name}` | `{f.type}` | {default} |")
        out.append("")
    else:
        out += [f"`{name}{signature(cls)}`", ""]
    for attribute, annotation in attributes.items():
        if not hasattr(cls, attribute) and not (dataclasses.is_dataclass(cls)
                                                and attribute in {f.name for f in dataclasses.fields(cls)}):
            out += [f"- attribute `{attribute}: {annotation}`"]
    if any(not hasattr(cls, a) for a in attributes):
        out.append("")
    for member_name, member in sorted(vars(cls).items()):
        if member_name.startswith("_") or issubclass(cls, enum.Enum):
            continue
        if isinstance(member, property):
            out += [f"#### `{name}.{member_name}` (property)", "", doc(member)]
        elif isinstance(member, (staticmethod, classmethod)) or callable(member):
            function = getattr(cls, member_name)
            kind = "async " if inspect.iscoroutinefunction(function) else ""
            out += [f"#### `{kind}{name}.{member_name}{signature(function)}`", "", doc(function)]
        elif member_name in attributes and not dataclasses.is_dataclass(cls):
            out += [f"#### `{name}.{member_name}: {attributes[member_name]}`", ""]
    return out


def page() -> str:
    out = ["# API reference", "",
           "Every public name of both modules, as the modules give them (`inspect.signature`, docstrings,",
           "dataclass fields and enum members); written by `tools/api_docs.py`, and checked to be current",
           "by the tests. The behaviour behind each call is in the other pages of `docs/`.", ""]
    for module_name, stub in MODULES.items():
        module = importlib.import_module(module_name)
        attributes = stub_attributes(stub)
        out += [f"## `{module_name}`", "", doc(module)]
        for name, annotation in attributes.get("", {}).items():
            if not name.startswith("_"):
                out += [f"- `{name}: {annotation}`"]
        out.append("")
        for name, obj in vars(module).items():
            if name.startswith("_") or getattr(obj, "__module__", None) != module_name:
                continue
            if isinstance(obj, type):
                out += describe_class(name, obj, attributes.get(name, {}))
            elif callable(obj):
                out += [f"### `{name}{signature(obj)}`", "", doc(obj)]
    return "\n".join(out).rstrip("\n") + "\n"


if __name__ == "__main__":
    print(page(), end="")
