"""tools/pyapi_def.py: a module-definition (.def) file of the names CPython's headers export.

    python tools/pyapi_def.py INCLUDE_DIR DLL_NAME > pythonXY.def

Every function and variable a header declares with PyAPI_FUNC or PyAPI_DATA is exported by
pythonXY.dll; nothing else is. An import library made from this list (dlltool) therefore fails
the link of a module that uses a private name, as the link against the real DLL would.
"""

import re
import sys
from pathlib import Path

COMMENT = re.compile(r"/\*.*?\*/|//[^\n]*", re.S)
DIRECTIVE = re.compile(r"^[ \t]*#(?:[^\n]*\\\n)*[^\n]*", re.M)
# PyAPI_FUNC(type) name(...) / PyAPI_DATA(type) name; the type may hold one level of
# parentheses, and a pointer to a function is declared as PyAPI_DATA(type) (*name)(...).
DECLARATION = re.compile(
    r"\bPyAPI_(FUNC|DATA)\s*\((?:[^()]|\([^()]*\))*\)\s*(?:_Py_NO_RETURN\s*)?[\s*(]*([A-Za-z_]\w*)"
)


def exported(include: Path) -> dict[str, str]:
    names: dict[str, str] = {}
    for header in sorted(include.rglob("*.h")):
        text = DIRECTIVE.sub("", COMMENT.sub(" ", header.read_text(encoding="utf-8", errors="replace")))
        for kind, name in DECLARATION.findall(text):
            names.setdefault(name, kind)
    return names


def main() -> None:
    include, dll = Path(sys.argv[1]), sys.argv[2]
    names = exported(include)
    if len(names) < 500:
        sys.exit(f"{include}: only {len(names)} PyAPI names found: not a CPython include folder?")
    print(f"LIBRARY {dll}")
    print("EXPORTS")
    for name, kind in sorted(names.items()):
        print(f"    {name}{' DATA' if kind == 'DATA' else ''}")


if __name__ == "__main__":
    main()
