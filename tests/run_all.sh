#!/usr/bin/env bash
# Installs what the tests need on a fresh Debian machine (as root), then runs
# the whole suite: the C++ core tests and pytest under AddressSanitizer and
# UndefinedBehaviorSanitizer, and finally pytest against the installed wheel.
# Needs no ../shared: the tests that read it skip, and say why (pytest -rs).
#
#   PYTHON=/path/to/venv/bin/python bash tests/run_all.sh
# runs everything with that interpreter (a virtual environment, say) instead
# of the system's python3; PYTHON310= (empty) skips the CPython 3.10 pass.
set -euo pipefail
cd "$(dirname "$0")/.."
PYTHON=${PYTHON:-python3}

if [ "$(id -u)" = 0 ] && command -v apt-get >/dev/null; then
  export DEBIAN_FRONTEND=noninteractive
  if ! dpkg -s libeccodes-data libeccodes-tools python3-eccodes libgtest-dev >/dev/null 2>&1; then
    apt-get update -qq
    apt-get install -y -qq libeccodes-data libeccodes-tools python3-eccodes libgtest-dev >/dev/null
  fi
fi
"$PYTHON" -m pip install -q --disable-pip-version-check --root-user-action=ignore \
  cmake ninja pytest hypothesis mypy numpy
# The optional extras and the pandas reader the DataFrame tests compare with.
python3 -m pip install -q --disable-pip-version-check --root-user-action=ignore \
  pandas pyarrow pdbufr eccodes "dask[dataframe]" distributed
# One cp310-abi3 wheel, installed into this interpreter and, when present,
# into CPython 3.10 as well: the same binary must serve both.
rm -rf build/wheel
"$PYTHON" -m pip wheel -q --disable-pip-version-check --no-deps -w build/wheel .
"$PYTHON" -m pip install -q --disable-pip-version-check --root-user-action=ignore \
  --force-reinstall --no-deps build/wheel/skerrow-*.whl
python310=${PYTHON310-}
if [ -z "${PYTHON310+set}" ]; then
  for candidate in "$HOME"/.pyenv/versions/3.10*/bin/python3.10 "$(command -v python3.10 || true)"; do
    if [ -x "$candidate" ] && "$candidate" -c pass 2>/dev/null; then python310=$candidate; break; fi
  done
fi

python=$("$PYTHON" -c 'import sys; print(sys.executable)')
jobs=$(nproc 2>/dev/null || echo 2)

echo "== type stubs against the module, and the package under mypy --strict"
(cd python && "$python" -m mypy.stubtest _skerrow)
"$python" -m mypy --strict --no-error-summary python/skerrow

echo "== C++ core tests, fuzz regression inputs and pytest under ASan and UBSan"
cmake -S . -B build/asan -G Ninja -DCMAKE_BUILD_TYPE=Debug -DSKERROW_BUILD_TESTS=ON \
  -DSKERROW_SANITIZE=address,undefined -DSKERROW_FUZZ=replay \
  -DCMAKE_COMPILE_WARNING_AS_ERROR=ON -DPython_EXECUTABLE="$python" >/dev/null
cmake --build build/asan -j "$jobs" >/dev/null
ASAN_OPTIONS=detect_leaks=1 ./build/asan/skerrow_core_tests --gtest_brief=1
# Every fuzz target replays its seeds and the inputs that once failed it.
for target in build/asan/fuzz/fuzz_*; do
  name=${target##*/fuzz_}
  inputs=()
  for dir in "fuzz/seeds/$name" "fuzz/regressions/$name"; do
    [ -d "$dir" ] && inputs+=("$dir")
  done
  log=build/asan/fuzz/$name.log
  if ! ASAN_OPTIONS=detect_leaks=1 "$target" "${inputs[@]}" >"$log" 2>&1; then
    tail -40 "$log"
    echo "fuzz target $name failed on the last input named above" >&2
    exit 1
  fi
  echo "fuzz_$name: $(tail -1 "$log")"
done
ASAN_OPTIONS=detect_leaks=0 PYTHONMALLOC=malloc PYTHONPATH="$PWD/build/asan" \
  LD_PRELOAD="$(g++ -print-file-name=libasan.so) $(g++ -print-file-name=libubsan.so)" \
  "$python" -m pytest -q -rs -p no:cacheprovider -m "not slow" tests/python

if [ -n "$python310" ]; then
  echo "== the same wheel on CPython 3.10"
  "$python310" -m pip install -q --disable-pip-version-check --root-user-action=ignore \
    pytest hypothesis numpy
  "$python310" -m pip install -q --disable-pip-version-check --root-user-action=ignore \
    --force-reinstall --no-deps build/wheel/skerrow-*.whl
  "$python310" -m pytest -q -rs -p no:cacheprovider -m "not slow" tests/python
fi

echo "== pytest against the installed module"
"$python" -m pytest -q -rs -p no:cacheprovider tests/python
