#!/bin/bash
# Fuzzes one target of the rules for a bounded time:
#   scripts/fuzz.sh TARGET SECONDS [libFuzzer options...]
# TARGET is one of fuzz/targets.cmake (manifest_line, path, base_url, ...).
# The run starts from the seeds in fuzz/corpus/TARGET, copied to a scratch
# corpus under build/fuzz/TARGET so the repository's seeds stay as they are; a
# crash leaves its input in build/fuzz/TARGET-crash-*. Keep a crash's input as a
# new seed and as a row of tests/rules/RulesTest.cpp once it is fixed.
set -euo pipefail
root=$(cd "$(dirname "$0")/.." && pwd)
build=${KOVREL_BUILD:-$root/build}
[ $# -ge 2 ] || { echo "usage: $0 TARGET SECONDS [libFuzzer options...]" >&2; exit 2; }
target=$1 seconds=$2
shift 2
fuzzer=$build/native/fuzz_$target
seeds=$root/fuzz/corpus/$target
[ -d "$seeds" ] || { echo "fuzz.sh: no seeds for $target in $seeds" >&2; exit 2; }
[ -x "$fuzzer" ] || "$root/scripts/build.sh" >/dev/null
scratch=$build/fuzz/$target
rm -rf "$scratch" && mkdir -p "$scratch"
cp "$seeds"/* "$scratch"/
exec "$fuzzer" -max_total_time="$seconds" -max_len=4096 -timeout=10 -rss_limit_mb=1024 \
    -artifact_prefix="$build/fuzz/$target-" -print_final_stats=1 "$@" "$scratch"
