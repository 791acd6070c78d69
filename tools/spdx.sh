#!/bin/sh
# SPDX-License-Identifier: BSD-2-Clause
# Usage: tools/spdx.sh --check | --add
# Every source file, script and build file that git tracks starts with the
# licence tag, in its own comment syntax: "// SPDX-License-Identifier:
# BSD-2-Clause" in C++, "# ..." in shell scripts, CMake files, the
# Makefile, .in templates and the package lists, '.\" ...' in man pages;
# after the #! line where there is one. Documentation, the licence texts,
# fuzz inputs and files whose format has no comments are left out.
# --check lists the files without the tag (and any file of a kind not
# decided on here) and fails when there are any; --add puts the tag in.
set -eu
cd "$(dirname "$0")/.."
tag="SPDX-License-Identifier: BSD-2-Clause"
case ${1:-} in
--check | --add) mode=$1 ;;
*)
  echo "usage: tools/spdx.sh --check | --add" >&2
  exit 2
  ;;
esac

# The tag line of a file, or "exempt", or "unknown".
tag_line() {
  case $1 in
  *.md | LICENSE | .gitignore | */.keep) echo exempt ;;
  fuzz/corpus/* | fuzz/regressions/*) echo exempt ;;
  # dpkg reads each line of conffiles as a path; the copyright file states
  # the licence itself; the changelog's format has no comments.
  packaging/debian/conffiles | packaging/debian/copyright | packaging/debian/changelog) echo exempt ;;
  *.cpp | *.h) echo "// $tag" ;;
  *.sh | .ci/run | packaging/debian/postinst | packaging/debian/postrm) echo "# $tag" ;;
  CMakeLists.txt | */CMakeLists.txt | *.cmake | Makefile | *.in) echo "# $tag" ;;
  packaging/quorind.default | .ci/packages/*) echo "# $tag" ;;
  man/*.[1-8]) echo ".\\\" $tag" ;;
  *.html) echo "<!-- $tag -->" ;;
  *) echo unknown ;;
  esac
}

# True when the file's first line, or the line after its #! line, is the tag.
has_tag() {
  # awk -v would read the backslash of the man pages' tag as an escape.
  head -n 2 "$1" | want=$2 awk '
    NR == 1 && /^#!/ { next }
    { found = ($0 == ENVIRON["want"]); exit }
    END { exit !found }'
}

missing=0
unknown=0
for file in $(git ls-files); do
  [ -f "$file" ] || continue
  line=$(tag_line "$file")
  case $line in
  exempt) continue ;;
  unknown)
    echo "no rule for $file: add its kind to tools/spdx.sh" >&2
    unknown=$((unknown + 1))
    continue
    ;;
  esac
  has_tag "$file" "$line" && continue
  if [ "$mode" = --check ]; then
    echo "no licence tag: $file"
    missing=$((missing + 1))
  elif head -n 1 "$file" | grep -q '^#!'; then
    # The text of sed's a and i commands takes backslashes as escapes.
    sed -i "1a\\
$(printf '%s' "$line" | sed 's/\\/\\\\/g')" "$file"
  elif [ -s "$file" ]; then
    sed -i "1i\\
$(printf '%s' "$line" | sed 's/\\/\\\\/g')" "$file"
  else
    printf '%s\n' "$line" >"$file"
  fi
done
if [ "$missing" -gt 0 ] || [ "$unknown" -gt 0 ]; then
  echo "tools/spdx.sh: $missing files without the licence tag, $unknown of no known kind" >&2
  exit 1
fi
[ "$mode" = --check ] && echo "ok: every tracked source, script and build file carries the licence tag"
exit 0
