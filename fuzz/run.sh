#!/usr/bin/env bash
# Builds every fuzz target with clang's libFuzzer, AddressSanitizer and
# UndefinedBehaviorSanitizer, then runs each for SECONDS seconds, one after
# the other. Exits non-zero if any target crashed, hung (10 s per input),
# leaked or tripped a sanitizer, and names the input that did.
#
#   bash fuzz/run.sh SECONDS [TARGET...]
#
# Seeds: fuzz/seeds and fuzz/regressions of the repository, the messages of
# ../shared/corpus when present, and the tables of the ecCodes definitions
# tree when installed. Each target keeps its growing corpus in
# build/fuzz/corpus/TARGET, so a later run resumes where the last stopped.
set -euo pipefail
cd "$(dirname "$0")/.."
root=$PWD

seconds=${1:?usage: bash fuzz/run.sh SECONDS [TARGET...]}
shift
targets=("$@")
[ ${#targets[@]} -gt 0 ] || targets=(scan_parse decode element_table sequence_def code_table wmo_csv package)

command -v clang++ >/dev/null || { echo "clang++ is needed (apt-get install clang)" >&2; exit 2; }
build=build/fuzz
cmake -S . -B "$build" -G Ninja -DCMAKE_BUILD_TYPE=RelWithDebInfo \
  -DCMAKE_CXX_COMPILER=clang++ \
  -DCMAKE_CXX_FLAGS="-fsanitize=fuzzer-no-link" \
  -DSKERROW_SANITIZE=address,undefined -DSKERROW_FUZZ=libfuzzer \
  -DPython_EXECUTABLE="$(command -v python3)" >/dev/null
cmake --build "$build" -j 2 --target "${targets[@]/#/fuzz_}" >/dev/null

corpus=$root/../shared/corpus
wmo_csv=$root/../shared/tables/wmo-bufr4/45
definitions=/usr/share/eccodes/definitions/bufr/tables/0/wmo/39

# Extra seed directories of one target, one per line.
extra_seeds() {
  case $1 in
    scan_parse | decode | package)
      [ -d "$corpus" ] && echo "$corpus"
      echo "$root/examples" ;;
    wmo_csv)
      mkdir -p "$build/seeds/$1"
      if [ -d "$wmo_csv" ]; then
        for table in BUFRCREX_TableB_en_01 BUFRCREX_TableB_en_20 BUFR_TableD_en_01; do
          [ -f "$wmo_csv/$table.csv" ] && head -c 16384 "$wmo_csv/$table.csv" >"$build/seeds/$1/$table.csv"
        done
      fi
      echo "$build/seeds/$1" ;;
    element_table | sequence_def | code_table)
      mkdir -p "$build/seeds/$1"
      case $1 in
        element_table) cp "$root/fuzz/tables/element.table" "$build/seeds/$1/" ;;
        sequence_def) cp "$root/fuzz/tables/sequence.def" "$build/seeds/$1/" ;;
        code_table) cp "$root"/fuzz/tables/codetables/*.table "$build/seeds/$1/" ;;
      esac
      if [ -d "$definitions" ]; then
        case $1 in
          element_table) head -c 32768 "$definitions/element.table" >"$build/seeds/$1/wmo.table" ;;
          sequence_def) head -c 32768 "$definitions/sequence.def" >"$build/seeds/$1/wmo.def" ;;
          code_table) cp "$definitions"/codetables/{1003,8021,20011,33002}.table "$build/seeds/$1/" 2>/dev/null || true ;;
        esac
      fi
      echo "$build/seeds/$1" ;;
  esac
}

failed=()
for target in "${targets[@]}"; do
  mkdir -p "$build/corpus/$target" "$build/artifacts/$target"
  seeds=()
  for dir in "fuzz/seeds/$target" "fuzz/regressions/$target"; do
    [ -d "$dir" ] && seeds+=("$dir")
  done
  while IFS= read -r dir; do seeds+=("$dir"); done < <(extra_seeds "$target")
  # The decoders may emit up to 16 values per bit of section 4 (real messages
  # reach 8.5), about 0.7 us each under the sanitizers: 32 KiB keeps the
  # densest legal input near 3 s, well inside the 10 s per-input limit.
  case $target in
    scan_parse) max_len=262144 ;;
    decode | package) max_len=32768 ;;
    *) max_len=65536 ;;
  esac
  log=$build/$target.log
  echo "== $target for $seconds s (log $log)"
  status=0
  "$build/fuzz/fuzz_$target" -max_total_time="$seconds" -timeout=10 -rss_limit_mb=2048 \
    -max_len=$max_len -print_final_stats=1 -artifact_prefix="$build/artifacts/$target/" \
    "$build/corpus/$target" "${seeds[@]}" >"$log" 2>&1 || status=$?
  grep -E '^#[0-9]+ +DONE|stat::number_of_executed_units|stat::peak_rss_mb' "$log" | tail -3 || true
  if [ "$status" -ne 0 ]; then
    echo "!! $target failed (exit $status):"
    grep -E 'ERROR: |runtime error|SUMMARY|Test unit written to|ALARM' "$log" | head -20
    failed+=("$target")
  fi
done

if [ ${#failed[@]} -gt 0 ]; then
  echo "failed: ${failed[*]}" >&2
  exit 1
fi
echo "all targets passed"
