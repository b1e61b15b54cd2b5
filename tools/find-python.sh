#!/usr/bin/env bash
# Print the path of a working CPython 3.13 interpreter, or explain what was tried.
set -u
works() { "$1" -c 'import sys; sys.exit(sys.version_info[:2] != (3, 13))' >/dev/null 2>&1; }
candidates=()
if command -v python3.13 >/dev/null 2>&1; then candidates+=("$(command -v python3.13)"); fi
if command -v pyenv >/dev/null 2>&1; then
  for p in "$(pyenv root)"/versions/3.13*/bin/python3.13; do candidates+=("$p"); done
elif [ -d "$HOME/.pyenv/versions" ]; then
  for p in "$HOME"/.pyenv/versions/3.13*/bin/python3.13; do candidates+=("$p"); done
fi
candidates+=(/usr/bin/python3.13)
for p in "${candidates[@]}"; do
  if [ -x "$p" ] && works "$p"; then echo "$p"; exit 0; fi
done
echo "error: no working Python 3.13 found; looked for python3.13 on PATH," \
     "\$(pyenv root)/versions/3.13*/bin/python3.13 and /usr/bin/python3.13" >&2
exit 1
