#!/bin/sh
# The demo: tarnwick on a sample offline Windows volume (Linux build), then
# tarnwick.exe itself in a throw-away Wine prefix with a logged-on and a
# logged-off user.
set -eu
cd "$(dirname "$0")/.."
bash scripts/demo-offline.sh
echo
bash scripts/demo-wine.sh
