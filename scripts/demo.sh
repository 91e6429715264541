#!/usr/bin/env bash
# The main job: builds are done by `make run`; this runs the daemon once in a private sandbox.
set -euo pipefail
build=${1:-build}
exec "$build/bin/zeld" -f
