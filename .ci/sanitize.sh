#!/usr/bin/env bash
# Builds the native core stand-in and the extension modules with AddressSanitizer and
# UndefinedBehaviorSanitizer, then runs the test suite against that build. Any sanitizer
# report fails the run.
#
#   bash .ci/sanitize.sh [pytest arguments]     (default: tests)
#
# PYTHON          interpreter to build the venv from (default: python3.12, or a 3.12
#                 that pyenv has installed)
# SANITIZE_VENV   venv to (re)use instead of a throw-away one
# CXX             compiler whose sanitizer runtimes are preloaded (default: g++)
#
# Tests may skip what is meaningless in this run by checking VELMORROW_SANITIZED=1
# (with PYTHONMALLOC=malloc, sys.getallocatedblocks() always returns 0).
set -euo pipefail

repo_root=$(cd "$(dirname "${BASH_SOURCE[0]}")/.." && pwd)
cd "$repo_root"

# A Python 3.12: $PYTHON, else python3.12 on PATH, else one that pyenv has installed
# (its shim refuses a version that is not selected).
find_python() {
    if [[ -n "${PYTHON:-}" ]]; then
        echo "$PYTHON"
        return
    fi
    local candidates=(python3.12)
    if command -v pyenv >/dev/null 2>&1; then
        candidates+=("$(pyenv root)"/versions/3.12*/bin/python3.12)
    fi
    local candidate
    for candidate in "${candidates[@]}"; do
        if "$candidate" -c 'import sys; sys.exit(sys.version_info[:2] != (3, 12))' 2>/dev/null; then
            echo "$candidate"
            return
        fi
    done
    echo "sanitize: no Python 3.12 found; set PYTHON" >&2
    return 1
}
python=$(find_python)
cxx=${CXX:-g++}

work=$(mktemp -d "${TMPDIR:-/tmp}/velmorrow-sanitize.XXXXXX")
cleanup() { rm -rf "$work"; }
trap cleanup EXIT

venv=${SANITIZE_VENV:-$work/venv}
reports=$work/reports
mkdir -p "$reports"

started=$SECONDS
say() { printf '==> %s (%ds)\n' "$*" "$((SECONDS - started))"; }

asan_runtime=$("$cxx" -print-file-name=libasan.so)
ubsan_runtime=$("$cxx" -print-file-name=libubsan.so)
for runtime in "$asan_runtime" "$ubsan_runtime"; do
    # -print-file-name echoes the bare name back when it finds nothing.
    if [[ "$runtime" != /* || ! -e "$runtime" ]]; then
        echo "sanitize: $cxx has no sanitizer runtime ($runtime)" >&2
        exit 2
    fi
done

say "venv $venv from $python"
if [[ ! -x "$venv/bin/python" ]]; then
    "$python" -m venv "$venv"
fi
vpython=$venv/bin/python
"$vpython" -c 'import sys; assert sys.version_info[:2] == (3, 12), sys.version' \
    || { echo "sanitize: need Python 3.12" >&2; exit 2; }

say "test requirements"
"$vpython" -m pip install -q -r requirements-test.txt

# Fresh build directories, so that no object of a normal build is reused.
sanitize_flags=(
    -C cmake.define.VELMORROW_SANITIZE=ON
    -C cmake.define.VELMORROW_WERROR=ON
)
say "sanitized build of the native core stand-in"
"$vpython" -m pip install -q --force-reinstall --no-deps "${sanitize_flags[@]}" \
    -C "build-dir=$work/build-core" ./core
say "sanitized build of velmorrow"
# With its dependencies (pure Python), which the command line needs.
"$vpython" -m pip install -q --force-reinstall "${sanitize_flags[@]}" \
    -C "build-dir=$work/build-velmorrow" .

# Refuse to test an uninstrumented build: that would pass without proving anything.
mapfile -t extensions < <("$vpython" - <<'PY'
import importlib.util
for name in ("velmorrow_core_py", "velmorrow.sparse", "velmorrow.featuregate", "velmorrow.scanrules"):
    print(importlib.util.find_spec(name).origin)
PY
)
for extension in "${extensions[@]}"; do
    # No grep -q: closing the pipe early would fail nm under pipefail.
    symbols=$(nm -D --undefined-only "$extension")
    for marker in __asan_ __ubsan_handle_; do
        if ! grep "$marker" <<<"$symbols" >/dev/null; then
            echo "sanitize: $extension is not instrumented ($marker missing)" >&2
            exit 1
        fi
    done
done

# The interpreter itself is not instrumented, so the runtimes are preloaded. Leak
# detection stays off: the interpreter keeps much of its memory until exit on purpose.
# PYTHONMALLOC=malloc routes object memory through malloc, where ASan can see it.
# Reports also go to files, so that those of subprocesses started by tests are caught.
asan_options=detect_leaks=0:abort_on_error=1:halt_on_error=1
asan_options+=:detect_stack_use_after_return=1:check_initialization_order=1:strict_init_order=1
ubsan_options=print_stacktrace=1:halt_on_error=1
run_sanitized() {
    local report_dir=$1
    shift
    env \
        LD_PRELOAD="$asan_runtime:$ubsan_runtime" \
        ASAN_OPTIONS="$asan_options:log_path=$report_dir/asan" \
        UBSAN_OPTIONS="$ubsan_options:log_path=$report_dir/ubsan" \
        PYTHONMALLOC=malloc \
        PYTHONFAULTHANDLER=1 \
        VELMORROW_SANITIZED=1 \
        "$@"
}

say "canary: the set-up must catch a known overflow in Python memory"
canary=$work/canary
mkdir -p "$canary"
if run_sanitized "$canary" "$vpython" -c '
import ctypes
buffer = ctypes.create_string_buffer(16)
ctypes.memmove(ctypes.addressof(buffer), ctypes.addressof(buffer) + 8, 64)
' >/dev/null 2>&1; then
    echo "sanitize: the canary overflow went unnoticed; the set-up is broken" >&2
    exit 1
fi
if ! cat "$canary"/asan.* 2>/dev/null | grep 'ERROR: AddressSanitizer: heap-buffer-overflow' >/dev/null; then
    echo "sanitize: the canary overflow left no AddressSanitizer report" >&2
    exit 1
fi

say "test suite under ASan and UBSan"
log=$work/pytest.log
set +e
run_sanitized "$reports" "$vpython" -m pytest -q -p no:cacheprovider "${@:-tests}" 2>&1 | tee "$log"
status=${PIPESTATUS[0]}
set -e

found=0
if grep -qE 'ERROR: AddressSanitizer|runtime error:' "$log"; then
    found=1
fi
shopt -s nullglob
report_files=("$reports"/*)
if ((${#report_files[@]})); then
    found=1
    for report in "${report_files[@]}"; do
        printf '\n==> sanitizer report %s\n' "${report##*/}"
        cat "$report"
    done
fi

say "done"
if ((found)); then
    echo "sanitize: FAILED: sanitizer reports above" >&2
    exit 1
fi
if ((status != 0)); then
    echo "sanitize: FAILED: pytest exited with $status" >&2
    exit "$status"
fi
echo "sanitize: passed, no sanitizer reports"
