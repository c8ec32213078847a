#!/usr/bin/env bash
# Fuzzes Velta.tl under AddressSanitizer + UBSan with atheris.
#
#   fuzz/run.sh SECONDS    build, fuzz for SECONDS, then a leak check of the corpus
#   fuzz/run.sh FILE...    build, then replay the given inputs (e.g. fuzz/regressions/*)
#
# Environment: FUZZ_VENV (default /tmp/velta-fuzz-venv) holds the build;
# FUZZ_WORK (default: a new temporary directory) receives the working corpus,
# the log and any finding; PYTHON (default python3) creates the venv.
# Exits non-zero on any finding.
set -euo pipefail

here=$(cd "$(dirname "$0")" && pwd)
root=$(dirname "$here")
venv=${FUZZ_VENV:-/tmp/velta-fuzz-venv}
python=${PYTHON:-python3}
[ $# -gt 0 ] || { sed -n '2,10p' "$0"; exit 2; }

# Toolchain: clang 14 with its sanitizer runtimes, the interpreter's headers and venv.
missing=()
command -v clang++ >/dev/null || missing+=(clang libclang-rt-14-dev)
"$python" -c 'import ensurepip' 2>/dev/null || missing+=(python3-venv)
"$python" -c 'import os, sysconfig; assert os.path.exists(sysconfig.get_paths()["include"] + "/Python.h")' 2>/dev/null \
    || missing+=(python3-dev)
if [ ${#missing[@]} -gt 0 ]; then
    echo "installing ${missing[*]}"
    apt-get update -qq && DEBIAN_FRONTEND=noninteractive apt-get install -y -qq "${missing[@]}" >/dev/null
fi

# The fuzz build of the module and atheris, in a venv of their own.
[ -x "$venv/bin/python" ] || "$python" -m venv "$venv"
"$venv/bin/python" -c 'import atheris' 2>/dev/null || "$venv/bin/pip" install -q atheris==3.0.0
echo "building Velta.tl with -fsanitize=address,undefined,fuzzer-no-link"
CC=clang CXX=clang++ VELTA_FUZZ=ON "$venv/bin/pip" install -q --force-reinstall --no-deps "$root"
clang -shared -fPIC -O1 -o "$venv/ubsan_compat.so" "$here/ubsan_compat.c"

atheris_dir=$("$venv/bin/python" -c 'import atheris; print(atheris.path())')
preload="$atheris_dir/asan_with_fuzzer.so $venv/ubsan_compat.so"
export ASAN_OPTIONS=detect_leaks=0,allocator_may_return_null=1
export UBSAN_OPTIONS=print_stacktrace=1,halt_on_error=1
# The harness is the module fuzz.fuzz_tl; its schemas come from benchmarks.workloads.
export PYTHONPATH=$root

if ! [[ $1 =~ ^[0-9]+$ ]]; then
    # PYTHONMALLOC=malloc puts every interpreter object under ASan's eye.
    LD_PRELOAD=$preload PYTHONMALLOC=malloc "$venv/bin/python" -m fuzz.fuzz_tl "$@"
    exit
fi

work=${FUZZ_WORK:-$(mktemp -d /tmp/velta-fuzz.XXXXXX)}
mkdir -p "$work/corpus" "$work/findings"
cp "$here"/corpus/* "$work/corpus/"
echo "fuzzing for $1 s; corpus, log and findings in $work"
status=0
LD_PRELOAD=$preload PYTHONMALLOC=malloc "$venv/bin/python" -m fuzz.fuzz_tl \
    -max_total_time="$1" -timeout=30 -print_final_stats=1 \
    -artifact_prefix="$work/findings/" "$work/corpus" >"$work/fuzz.log" 2>&1 || status=$?

echo "leak check of the corpus ($(ls "$work/corpus" | wc -l) inputs)"
LD_PRELOAD=$preload "$venv/bin/python" -m fuzz.fuzz_tl --leak-check "$work/corpus" \
    >"$work/leak.log" 2>&1 || status=$((status ? status : 1))
grep -E "^LEAK|^leak check|Error|Traceback" "$work/leak.log" | head -20 || true

echo "---- summary ----"
grep -E "^#[0-9]+[[:space:]].*cov:" "$work/fuzz.log" | tail -1 || true
grep -E "^Done [0-9]+ runs|^stat::number_of_executed_units|^stat::peak_rss_mb" "$work/fuzz.log" || true
if [ "$status" -ne 0 ] || [ -n "$(ls -A "$work/findings")" ]; then
    tail -60 "$work/fuzz.log"
    echo "FINDINGS (exit $status): $(ls "$work/findings")"
    exit "$((status ? status : 1))"
fi
echo "no findings"
