#!/usr/bin/env bash
# Checks that the C++ lines a change touches are formatted as .clang-format
# says; lines the change does not touch are never checked, so the tree's older
# code does not fail it. The change is everything since the merge base of
# HEAD and the base (first argument; default origin/main, else main), the
# uncommitted edits included. Prints the diff clang-format would apply and
# exits 1 when there is one; exits 0 with nothing to check (no base found,
# or on the base itself). To apply the formatting:
#   git clang-format "$(git merge-base HEAD origin/main)"
set -euo pipefail
cd "$(dirname "$0")/.."
base="${1:-}"
if [ -z "$base" ]; then
  for candidate in origin/main main; do
    if git rev-parse --verify -q "$candidate^{commit}" >/dev/null; then
      base="$candidate"
      break
    fi
  done
fi
if [ -z "$base" ]; then
  echo "check-format: no base branch (origin/main or main); nothing checked"
  exit 0
fi
since="$(git merge-base HEAD "$base")"
out="$(git clang-format --diff --extensions cpp,h,cc,hpp "$since" -- src tests tools fuzz bench 2>&1)" || true
case "$out" in
  "" | "no modified files to format" | "clang-format did not modify any files")
    echo "check-format: the lines changed since $base are formatted"
    exit 0 ;;
esac
echo "$out"
echo "check-format: the lines above, changed since $base, are not formatted as .clang-format says"
exit 1
