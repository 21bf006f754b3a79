#!/usr/bin/env bash
# Runs the libFuzzer targets built with DUALCAM_BUILD_FUZZERS: the asan
# preset builds them into build/asan/fuzz/ (ASan+UBSan), the fuzz preset
# into build/fuzz/fuzz/ (UBSan only, several times faster: long campaigns,
# whose corpora are then replayed in the asan build with --replay).
#
#   scripts/fuzz.sh --ci                  every target briefly from its seeds (CI)
#   scripts/fuzz.sh [options] [TARGET...] a campaign, one target at a time
#   scripts/fuzz.sh --replay [TARGET...]  every input a campaign kept, and the
#                                         seeds, run once (e.g. under ASan after
#                                         a campaign in a faster build)
#
# Options:
#   --build DIR    build folder holding fuzz/fuzz_<target> (default build/asan)
#   --time SEC     seconds per target (default 5 with --ci, else 600)
#   --runs N       stop a target after N executions instead (campaigns)
#   --jobs N       parallel fuzzing processes per target (default 1; the
#                  machine is shared: keep it at 1 unless it is yours)
#
# A campaign keeps its growing corpus in build/fuzz-work/<target>/corpus
# (seeded from fuzz/corpus/<target>) and crash inputs in
# build/fuzz-work/<target>/; a crash input that shows a real fault goes into
# fuzz/regressions/<target>/ once it is fixed, where test_regress replays
# it in every build. The final libFuzzer statistics of each target are
# printed, and kept in build/fuzz-work/<target>/stats.txt.
set -euo pipefail
cd "$(dirname "$0")/.."

ci=0
replay=0
build=build/asan
seconds=""
runs=""
jobs=1
targets=()
while [ $# -gt 0 ]; do
  case "$1" in
    --ci) ci=1 ;;
    --replay) replay=1 ;;
    --build) build="$2"; shift ;;
    --time) seconds="$2"; shift ;;
    --runs) runs="$2"; shift ;;
    --jobs) jobs="$2"; shift ;;
    -h|--help) sed -n '2,25p' "$0"; exit 0 ;;
    -*) echo "fuzz.sh: unknown option $1" >&2; exit 2 ;;
    *) targets+=("$1") ;;
  esac
  shift
done
if [ ${#targets[@]} -eq 0 ]; then
  targets=(decode_picture render_frame frame_path formats load_settings snapshot decode_tool properties control_request
           usb_device)
fi
if [ -z "$seconds" ]; then
  if [ $ci -eq 1 ]; then seconds=5; else seconds=600; fi
fi

export ASAN_OPTIONS="${ASAN_OPTIONS:-detect_leaks=1:abort_on_error=1}"
export UBSAN_OPTIONS="${UBSAN_OPTIONS:-print_stacktrace=1:halt_on_error=1}"

failed=()
for target in "${targets[@]}"; do
  binary="$build/fuzz/fuzz_$target"
  if [ ! -x "$binary" ]; then
    echo "fuzz.sh: $binary is not built (configure with -DDUALCAM_BUILD_FUZZERS=ON under clang)" >&2
    exit 2
  fi
  if [ $ci -eq 1 ]; then
    work="$(mktemp -d)"
  else
    work="build/fuzz-work/$target"
  fi
  mkdir -p "$work/corpus"
  # Longest input per target: room for whole pictures where a target takes
  # them, and a few times the longest useful input elsewhere (a longer one
  # only repeats operations and slows every execution).
  case "$target" in
    formats|load_settings|usb_device) max_len=4096 ;;
    snapshot) max_len=8192 ;;
    properties) max_len=32768 ;;
    *) max_len=65536 ;;
  esac
  args=(-timeout=10 -rss_limit_mb=2048 "-max_len=$max_len" -print_final_stats=1 "-artifact_prefix=$work/")
  if [ $replay -eq 1 ]; then
    args+=("-runs=0")
  elif [ -n "$runs" ] && [ $ci -eq 0 ]; then
    args+=("-runs=$runs")
  else
    args+=("-max_total_time=$seconds")
  fi
  if [ "$jobs" -gt 1 ]; then args+=("-jobs=$jobs" "-workers=$jobs"); fi
  if [ $replay -eq 1 ]; then
    echo "== fuzz_$target (replay of $(ls "$work/corpus" | wc -l) kept inputs and the seeds) =="
  else
    echo "== fuzz_$target (${runs:-${seconds}s}) =="
  fi
  status=0
  log="$work/log.txt"
  stats="$work/stats.txt"
  if [ $replay -eq 1 ]; then  # keeps the campaign's own figures
    log="$work/replay-log.txt"
    stats="$work/replay-stats.txt"
  fi
  nice "$binary" "${args[@]}" "$work/corpus" "fuzz/corpus/$target" > "$log" 2>&1 || status=$?
  grep -E '^(stat::|#[0-9]+[[:space:]]+DONE)' "$log" | sort -u | tee "$stats" || true
  if [ $status -ne 0 ]; then
    echo "fuzz_$target FAILED (exit $status); log and crash input in $work:" >&2
    tail -n 40 "$log" >&2
    ls "$work" >&2
    failed+=("$target")
  elif [ $ci -eq 1 ]; then
    rm -rf "$work"
  fi
done

passed=$(( ${#targets[@]} - ${#failed[@]} ))
echo "fuzz: ${passed} passed, ${#failed[@]} failed"
[ ${#failed[@]} -eq 0 ]
