#!/usr/bin/env bash
# The main job: builds the module and runs the tour on the bundled real data.
set -euo pipefail
cd "$(dirname "${BASH_SOURCE[0]}")/.."
if [[ -z "${KELO_PYTHON:-}" ]]; then exec scripts/env.sh scripts/tour.sh "$@"; fi
scripts/build.sh >/dev/null
PYTHONPATH="${KELO_BUILD_DIR:-build}" exec "$KELO_PYTHON" examples/tour.py "$@"
