#!/bin/sh
# Fails when a source file includes a header of a higher folder. The folders
# of src/ build on each other in this order:
#
#   base <- protocol, storage <- model <- voice <- query, web, announce, metrics <- app
#
# A folder includes its own headers and those of the folders below it;
# folders side by side (protocol and storage; query, web, announce and
# metrics) do not include each other.
# Usage: check-includes.sh [SRC_DIR]  (default: the src/ beside this script)
src=${1:-$(dirname "$0")/../src}

level() {
  case "$1" in
    base) echo 0 ;;
    protocol | storage) echo 1 ;;
    model) echo 2 ;;
    voice) echo 3 ;;
    query | web | announce | metrics) echo 4 ;;
    app) echo 5 ;;
    *) echo "" ;;
  esac
}

allowed() {  # from to
  [ "$1" = "$2" ] && return 0
  from=$(level "$1")
  to=$(level "$2")
  [ -z "$to" ] && return 0  # not one of our folders (a system or library header)
  [ -z "$from" ] && return 1
  [ "$to" -lt "$from" ] && return 0
  return 1
}

status=0
for file in $(cd "$src" && find . -name '*.h' -o -name '*.cpp' | sed 's|^\./||' | sort); do
  folder=${file%%/*}
  [ "$folder" = "$file" ] && continue  # a file directly in src/
  grep -n '^[[:space:]]*#[[:space:]]*include[[:space:]]*"[^"/]*/' "$src/$file" |
    sed 's|^\([0-9]*\):[^"]*"\([^"/]*\)/.*|\1 \2|' > "${TMPDIR:-/tmp}/qv-includes.$$"
  while read -r line target; do
    if ! allowed "$folder" "$target"; then
      echo "$file:$line: $folder/ includes $target/, which is not below it"
      status=1
    fi
  done < "${TMPDIR:-/tmp}/qv-includes.$$"
done
rm -f "${TMPDIR:-/tmp}/qv-includes.$$"
[ $status -eq 0 ] && echo "includes run one way"
exit $status
