#!/usr/bin/env bash
# tools/demo.sh: sets up and runs the demo host (examples/demo_host.py) on CPython 3.12
source "$(dirname "${BASH_SOURCE[0]}")/common.sh"
cd "$ROOT"
venv="$(make_venv 3.12 '')"
say "running the demo host"
exec "$venv/bin/python" examples/demo_host.py "$@"
