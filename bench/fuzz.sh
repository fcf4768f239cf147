#!/usr/bin/env bash
# Fuzzes the launch-request decoder with libFuzzer (clang, AddressSanitizer,
# UndefinedBehaviorSanitizer) for a bounded time. Not part of the test suite.
# Usage: bench/fuzz.sh [SECONDS]   (default 120)
set -euo pipefail
repo=$(cd "$(dirname "$0")/.." && pwd)
. "$repo/scripts/deps.sh"
ensure_packages "${BUILD_PACKAGES[@]}" "${FUZZ_PACKAGES[@]}"
seconds=${1:-120}
out=$repo/build/fuzz
mkdir -p "$out/corpus"
clang++ -std=c++20 -g -O1 -fPIC -fsanitize=fuzzer,address,undefined \
    -I"$repo/src/single_instance" $(pkg-config --cflags Qt6Core) \
    "$repo/bench/fuzz/request_decoder_fuzz.cpp" "$repo/src/single_instance/duplicate_launch_request.cpp" \
    $(pkg-config --libs Qt6Core) -o "$out/request_decoder_fuzz"
# Seeds: a valid request and a few near misses.
printf '%s' '{"arguments":["-a"],"fileURLs":["file:///tmp/a%20b"],"createdAt":"2026-03-01T12:00:00Z"}' >"$out/corpus/valid"
printf '%s' '{"arguments":[],"fileURLs":[],"createdAt":"x"}' >"$out/corpus/baddate"
printf '%s' '{"arguments":[1],"fileURLs":[],"createdAt":"2026-03-01T12:00:00Z"}' >"$out/corpus/badtype"
"$out/request_decoder_fuzz" -max_total_time="$seconds" -print_final_stats=1 "$out/corpus" 2>&1 | tail -n 15
