#!/usr/bin/env bash
# Fuzzes a decoder with libFuzzer (clang, AddressSanitizer,
# UndefinedBehaviorSanitizer) for a bounded time. Not part of the test suite.
# Usage: bench/fuzz.sh [request|scanfile] [SECONDS]   (default request, 120)
#   request   the launch-request decoder
#   scanfile  the scan-file reader, from the seeds in bench/fuzz/scan_file_corpus
set -euo pipefail
repo=$(cd "$(dirname "$0")/.." && pwd)
. "$repo/scripts/deps.sh"
ensure_packages "${BUILD_PACKAGES[@]}" "${FUZZ_PACKAGES[@]}"
target=request
case ${1:-} in request|scanfile) target=$1; shift ;; esac
seconds=${1:-120}
out=$repo/build/fuzz
flags=(-std=c++20 -g -O1 -fPIC -fsanitize=fuzzer,address,undefined)
qt=$(pkg-config --cflags Qt6Core)
if [ "$target" = request ]; then
    mkdir -p "$out/corpus"
    # shellcheck disable=SC2086
    clang++ "${flags[@]}" -I"$repo/src/single_instance" $qt \
        "$repo/bench/fuzz/request_decoder_fuzz.cpp" "$repo/src/single_instance/duplicate_launch_request.cpp" \
        $(pkg-config --libs Qt6Core) -o "$out/request_decoder_fuzz"
    # Seeds: a valid request and a few near misses.
    printf '%s' '{"arguments":["-a"],"fileURLs":["file:///tmp/a%20b"],"createdAt":"2026-03-01T12:00:00Z"}' >"$out/corpus/valid"
    printf '%s' '{"arguments":[],"fileURLs":[],"createdAt":"x"}' >"$out/corpus/baddate"
    printf '%s' '{"arguments":[1],"fileURLs":[],"createdAt":"2026-03-01T12:00:00Z"}' >"$out/corpus/badtype"
    "$out/request_decoder_fuzz" -max_total_time="$seconds" -print_final_stats=1 "$out/corpus" 2>&1 | tail -n 15
else
    # New finds go to a scratch corpus; the kept seeds stay as they are.
    mkdir -p "$out/scan_file_corpus"
    s=$repo/src/scanner
    # shellcheck disable=SC2086
    clang++ "${flags[@]}" -I"$s" -I"$repo/src/scancore" $qt \
        "$repo/bench/fuzz/scan_file_fuzz.cpp" "$s/scan_file.cpp" "$s/file_url.cpp" \
        "$s/path_identifiers.cpp" "$s/stable_scan_node_id.cpp" "$s/scan_tree.cpp" "$repo/src/scancore/bl_list.cpp" "$repo/src/scancore/exclusions.cpp" \
        $(pkg-config --libs Qt6Core libzstd) -o "$out/scan_file_fuzz"
    "$out/scan_file_fuzz" -max_total_time="$seconds" -max_len=65536 -timeout=10 -rss_limit_mb=2048 \
        -print_final_stats=1 "$out/scan_file_corpus" "$repo/bench/fuzz/scan_file_corpus" 2>&1 | tail -n 15
fi
