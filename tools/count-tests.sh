#!/usr/bin/env bash
# Prints how large the tests are against the code they test, in non-blank, non-comment lines of the
# .cpp and .h files that git tracks: tests are every file under a tests/ folder plus fuzz/; code is
# varrow/, client/ and server/ outside their tests (bench/ and packaging/ count as neither, tests of
# their own included).
# Exits 1 when the tests pass the budget of 35% of the code.
set -euo pipefail
cd "$(dirname "$0")/.."

count() { tr '\n' '\0' | xargs -0 -r cat | grep -cvE '^\s*(//.*|\*.*|/\*.*)?$' || true; }
sources=$(git ls-files -- '*.cpp' '*.h')
tests=$(grep -E '(^|/)tests/|^fuzz/' <<<"$sources" | grep -vE '^(bench|packaging)/' | count)
code=$(grep -E '^(varrow|client|server)/' <<<"$sources" | grep -vE '(^|/)tests/' | count)

percent=$((100 * tests / code))
echo "tests: $tests lines, code: $code lines, tests are $percent% of the code (budget 35%)"
for part in varrow client server; do
    t=$(grep -E "^$part/.*tests/" <<<"$sources" | count)
    c=$(grep -E "^$part/" <<<"$sources" | grep -vE '(^|/)tests/' | count)
    echo "  $part: tests $t, code $c"
done
echo "  tests/ (cross-cutting): $(grep -E '^tests/' <<<"$sources" | count), fuzz/: $(grep -E '^fuzz/' <<<"$sources" | count)"
[ "$percent" -le 35 ]
