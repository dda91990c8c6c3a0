#!/usr/bin/env bash
# Checks that the C and C++ sources of wire/, snc/, proto/, ext/, tests/,
# fuzz/ and bench/ are as clang-format writes them with the repository's
# .clang-format (clang-format --dry-run -Werror); nothing is changed.
# Usage: scripts/check_format.sh [-v] [FILE...]
#
#   -v      also show clang-format's findings, not only the file names
#   FILE    check these files instead of the whole tree
#
# Uses clang-format-14 (Debian's clang-format-14 package) when it is there,
# so that every machine judges by the same version; else clang-format; the
# environment variable CLANG_FORMAT names another. Exits 1 when a file is
# not clean, 2 when no clang-format can be found. The build trees (build/)
# and files git ignores are not looked at.
set -euo pipefail
cd "$(dirname "$0")/.."

verbose=0
if [ "${1:-}" = "-v" ]; then
  verbose=1
  shift
fi

cf=${CLANG_FORMAT:-}
if [ -z "$cf" ]; then
  for candidate in clang-format-14 clang-format; do
    if command -v "$candidate" >/dev/null; then
      cf=$candidate
      break
    fi
  done
fi
if [ -z "$cf" ] || ! command -v "$cf" >/dev/null; then
  echo "check_format.sh: no clang-format found (Debian: apt-get install clang-format-14)" >&2
  exit 2
fi

folders=(wire snc proto ext tests fuzz bench)
files=()
if [ $# -gt 0 ]; then
  files=("$@")
elif git rev-parse --is-inside-work-tree >/dev/null 2>&1; then
  # Tracked files and new ones git does not ignore, as they are on disk.
  while IFS= read -r f; do
    [ -f "$f" ] && files+=("$f")
  done < <(git ls-files --cached --others --exclude-standard -- "${folders[@]}" |
    grep -E '\.(c|h|cc|cpp|hpp)$' | grep -v -E '(^|/)build/' | sort -u)
else
  while IFS= read -r f; do
    files+=("$f")
  done < <(find "${folders[@]}" -path '*/build' -prune -o -type f \
    \( -name '*.c' -o -name '*.h' -o -name '*.cc' -o -name '*.cpp' -o -name '*.hpp' \) -print | sort)
fi

flagged=()
for f in "${files[@]}"; do
  if ! out=$("$cf" --dry-run -Werror --style=file "$f" 2>&1); then
    flagged+=("$f")
    [ "$verbose" = 1 ] && printf '%s\n' "$out"
  fi
done

if [ ${#flagged[@]} -eq 0 ]; then
  echo "check_format.sh: ${#files[@]} files are clang-format clean ($("$cf" --version | head -1))"
  exit 0
fi
echo "check_format.sh: ${#flagged[@]} of ${#files[@]} files are not clang-format clean ($cf):"
printf '  %s\n' "${flagged[@]}"
echo "(scripts/check_format.sh -v FILE shows what differs; $cf -i FILE rewrites it)"
exit 1
