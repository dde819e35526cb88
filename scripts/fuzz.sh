#!/usr/bin/env bash
# Builds the libFuzzer targets (fuzz/) with clang, ASan and UBSan, and runs each for a bounded
# time from its seed corpus in fuzz/corpus/TARGET. A crash, a hang (an input running past
# 10 s), a leak or a sanitizer report fails the run; the input is left in
# build-fuzz/run/crash-TARGET-*, and belongs in fuzz/corpus/TARGET once the fault is fixed.
#   scripts/fuzz.sh [SECONDS]   seconds per target (default 60)
#   scripts/fuzz.sh --seeds     rewrites the seed corpora with fuzz/makecorpus
set -euo pipefail
cd "$(dirname "$0")/.."
scripts/deps.sh clang libclang-rt-14-dev
dir=build-fuzz
CC=clang CXX=clang++ cmake -S . -B "$dir" -DVORN_FUZZ=ON -DVORN_TESTS=OFF -DVORN_BENCH=OFF \
  -DCMAKE_BUILD_TYPE=RelWithDebInfo >/dev/null
targets=(fuzz_uncompress fuzz_check fuzz_engine fuzz_dispatch fuzz_reply)
cmake --build "$dir" -j"$(nproc)" --target "${targets[@]}" makecorpus

if [ "${1:-}" = "--seeds" ]; then
  # Regression inputs (regress-*) stay; every other seed is made anew.
  find fuzz/corpus -type f ! -name 'regress-*' -delete
  "$dir/bin/makecorpus" fuzz/corpus
  exit 0
fi

seconds=${1:-60}
run="$dir/run"
rm -rf "$run"
mkdir -p "$run"
declare -A maxlen=([fuzz_check]=16384 [fuzz_engine]=16384 [fuzz_dispatch]=16384)
failed=0
summary=()
for t in "${targets[@]}"; do
  name=${t#fuzz_}
  mkdir -p "$run/$name"
  log="$run/$name.log"
  echo "== $t: $seconds s"
  # The working directory is the run folder: the client library writes its log there.
  if (cd "$run" && "../bin/$t" -max_total_time="$seconds" -timeout=10 -rss_limit_mb=2048 \
        -max_len="${maxlen[$t]:-4096}" -print_final_stats=1 -artifact_prefix="crash-$name-" \
        "$name" "../../fuzz/corpus/$name") >"$log" 2>&1; then
    status=ok
  else
    status=FAILED
    failed=1
    grep -E "ERROR|SUMMARY|^    #[0-9]+ " "$log" | head -30 || true
  fi
  done_line=$(grep -E "^#[0-9]+[[:space:]]+DONE" "$log" | tail -1 || true)
  execs=$(grep -E "^stat::number_of_executed_units" "$log" | awk '{print $2}' || true)
  summary+=("$(printf '%-16s %-6s execs %-9s %s' "$t" "$status" "${execs:-?}" \
    "$(echo "$done_line" | grep -oE 'cov: [0-9]+ ft: [0-9]+' || true)")")
done
printf '%s\n' "== fuzz summary (${seconds} s per target)" "${summary[@]}"
exit "$failed"
