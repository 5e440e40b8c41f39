#!/bin/sh
# Type-checks the examples (examples/demo.js, examples/labels.ts) against the
# page library's declarations with TypeScript from npm (examples/package.json).
# TypeScript is installed into examples/node_modules on first use; without the
# npm registry (offline) the check is skipped (exit 77), not failed.
set -eu
cd "$(dirname "$0")/../../examples"
if [ ! -x node_modules/.bin/tsc ]; then
  if ! command -v npm >/dev/null 2>&1; then echo "skipped: npm is not installed"; exit 77; fi
  if ! npm ci --no-audit --no-fund >npm-install.log 2>&1; then
    echo "skipped: TypeScript could not be installed from npm (offline?):"; tail -3 npm-install.log; exit 77
  fi
fi
node_modules/.bin/tsc --noEmit -p .
echo "the examples type-check against the page library's declarations"
