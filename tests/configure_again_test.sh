#!/usr/bin/env bash
# A build configured while the optional libraries are missing turns each
# feature on when configured again once they are there: what a newcomer
# does with the README's two commands.
#   configure_again_test.sh SOURCE_DIR CMAKE
set -euo pipefail
source_dir=$1
cmake=$2
work=$(mktemp -d)
trap 'rm -rf "$work"' EXIT

features() {  # the summary's feature lines of a configure's output
  sed -n '/Optional features:/,$p' "$1" | grep -E ': (on|off)' | grep -v 'tests (GoogleTest)' || true
}
configure() { "$@" -S "$source_dir" -B "$work/build" -DGALAXY_BUILD_TESTS=OFF > "$work/out" 2>&1; }

"$cmake" -S "$source_dir" -B "$work/reference" -DGALAXY_BUILD_TESTS=OFF > "$work/reference.out" 2>&1
features "$work/reference.out" > "$work/expected"
if ! grep -q ': on' "$work/expected"; then
  echo "no optional library is installed here: nothing to turn on"
  exit 77
fi
if ! "$source_dir/tools/without-optional-libraries" true 2>/dev/null; then
  echo "cannot hide the libraries here (needs root or user namespaces)"
  exit 77
fi

configure "$source_dir/tools/without-optional-libraries" "$cmake"
features "$work/out" > "$work/first"
if grep ': on' "$work/first"; then
  echo "FAIL: with the libraries hidden, these features were still found"
  exit 1
fi
configure "$cmake"
features "$work/out" > "$work/second"
if ! diff -u "$work/expected" "$work/second"; then
  echo "FAIL: configured again, the build did not find what is installed"
  exit 1
fi
cat "$work/second"
