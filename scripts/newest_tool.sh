#!/usr/bin/env bash
# Prints the full path of the newest NAME-N on PATH (the largest N), else of
# NAME if it is on PATH; fails, printing nothing, if neither is.
# Usage: bash scripts/newest_tool.sh NAME       e.g. clang++, g++, clang-format
set -euo pipefail
name=$1
pattern=$(printf '%s' "$name" | sed 's/[][\.*^$+?(){}|]/\\&/g')-[0-9]+
best=""
best_version=-1
while read -r command; do
  version=${command##*-}
  if [ "$version" -gt "$best_version" ]; then
    best=$command
    best_version=$version
  fi
done < <(compgen -c | grep -xE "$pattern" | sort -u)
if [ -z "$best" ] && command -v "$name" >/dev/null; then best=$name; fi
[ -n "$best" ] && command -v "$best"
