#!/bin/sh
# The end-to-end test in a real headless Chromium (see run.mjs); arguments pass on,
# e.g. tests/e2e/run.sh --build build
exec node "$(dirname "$0")/run.mjs" "$@"
