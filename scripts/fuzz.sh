#!/usr/bin/env bash
# Builds the libFuzzer targets with clang (ASan+UBSan) and runs each one.
#   ./scripts/fuzz.sh            a short run of every target (30 s each)
#   FUZZ_SECONDS=3600 ./scripts/fuzz.sh [target...]   a long campaign
# New inputs that raise coverage are kept in tests/fuzz/corpus/<target>/;
# crashes land in build-fuzz/crashes/.
set -euo pipefail
root=$(cd "$(dirname "$0")/.." && pwd)
cd "$root"
./scripts/install-deps.sh >/dev/null
command -v clang++ >/dev/null || { export DEBIAN_FRONTEND=noninteractive; apt-get install -y -q --no-install-recommends clang libclang-rt-14-dev >/dev/null; }
seconds=${FUZZ_SECONDS:-30}
cmake -S . -B build-fuzz -DVX_FUZZ=ON -DCMAKE_BUILD_TYPE=RelWithDebInfo \
  -DCMAKE_C_COMPILER=clang -DCMAKE_CXX_COMPILER=clang++ >/dev/null
fuzzers=$(cmake --build build-fuzz --target help | sed -n 's/^\.\.\. \(fuzz_[a-z_0-9]*\).*/\1/p')
cmake --build build-fuzz -j2 --target $fuzzers
mkdir -p build-fuzz/crashes
targets=("$@")
if [ ${#targets[@]} -eq 0 ]; then
  for t in build-fuzz/tests/fuzz/fuzz_*; do targets+=("$(basename "$t" | sed 's/^fuzz_//')"); done
fi
export ASAN_OPTIONS=detect_leaks=0:abort_on_error=1
export QT_QPA_PLATFORM=offscreen
for t in "${targets[@]}"; do
  corpus=tests/fuzz/corpus/$t
  mkdir -p "$corpus" "build-fuzz/work/$t"
  echo "== fuzz_$t for ${seconds}s"
  # New inputs go to a scratch folder first so a short CI run leaves the
  # checked-in corpus alone; a long campaign merges them back.
  build-fuzz/tests/fuzz/fuzz_$t -max_total_time="$seconds" -timeout=10 -rss_limit_mb=2048 \
    -artifact_prefix="build-fuzz/crashes/$t-" -print_final_stats=1 "build-fuzz/work/$t" "$corpus" 2>&1 |
    grep -E '^(stat::number_of_executed_units|stat::peak_rss_mb|==|SUMMARY|#[0-9]+ +DONE)' || true
  if [ "$seconds" -ge 600 ]; then
    build-fuzz/tests/fuzz/fuzz_$t -merge=1 "$corpus" "build-fuzz/work/$t" >/dev/null 2>&1 || true
  fi
  if ls build-fuzz/crashes/$t-* >/dev/null 2>&1; then
    echo "!! fuzz_$t found crashes: $(ls build-fuzz/crashes/$t-*)"; exit 1
  fi
done
