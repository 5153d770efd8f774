#!/usr/bin/env bash
# Sets up everything quorvane needs on a fresh Debian machine, then runs one job:
#   demo   build and install the module, classify scikit-learn's digits
#   test   build everything, run the C++ suites (natively at every SIMD level, and
#          for aarch64 under qemu), the model-file fuzzer for a minute, and the
#          Python suite (at auto and portable), then build a wheel with the
#          README's commands and classify with it
#   quick  the loop while developing: the plain C++ suites (no sanitizers, no
#          aarch64) and the Python suite at the best SIMD level
#   bench  build and install the module, run the benchmark against the peers
set -euo pipefail
cd "$(dirname "${BASH_SOURCE[0]}")/.."
root=$PWD
job=${1:-demo}
venv=$root/.venv

say() { printf '==> %s\n' "$*"; }

apt_install() {
    local missing=() pkg
    for pkg in "$@"; do dpkg -s "$pkg" >/dev/null 2>&1 || missing+=("$pkg"); done
    [ ${#missing[@]} -eq 0 ] && return 0
    local sudo=""
    [ "$(id -u)" -ne 0 ] && sudo=sudo
    say "installing Debian packages: ${missing[*]}"
    $sudo apt-get update -q >/dev/null
    DEBIAN_FRONTEND=noninteractive $sudo apt-get install -y -q "${missing[@]}" >/dev/null
}

# A python3.13 on PATH may be a pyenv shim without a 3.13 behind it, so every
# candidate is asked for its version (and for venv) before it is trusted.
is_python313() {
    "$1" -c 'import sys, venv, ensurepip; sys.exit(sys.version_info[:2] != (3, 13))' >/dev/null 2>&1
}

find_python() {
    local candidates=() c
    [ -n "${QUORVANE_PYTHON:-}" ] && candidates+=("$QUORVANE_PYTHON")
    command -v python3.13 >/dev/null 2>&1 && candidates+=("$(command -v python3.13)")
    local pyenv_root=${PYENV_ROOT:-$HOME/.pyenv}
    command -v pyenv >/dev/null 2>&1 && pyenv_root=$(pyenv root)
    for c in "$pyenv_root"/versions/3.13*/bin/python3.13; do [ -x "$c" ] && candidates+=("$c"); done
    candidates+=(/usr/bin/python3.13 /usr/local/bin/python3.13)
    for c in "${candidates[@]}"; do
        if is_python313 "$c"; then echo "$c"; return 0; fi
    done
    return 1
}

setup_python() {
    if [ -x "$venv/bin/python" ] && is_python313 "$venv/bin/python"; then return 0; fi
    local python
    if ! python=$(find_python); then
        apt_install python3.13 python3.13-venv python3.13-dev
        python=$(find_python) || { echo "no Python 3.13 found or installable" >&2; exit 1; }
    fi
    say "creating $venv with $python"
    rm -rf "$venv"
    "$python" -m venv "$venv"
    "$venv/bin/python" -m pip install -q --upgrade pip
}

setup_toolchain() {
    command -v g++ >/dev/null 2>&1 || apt_install g++
    command -v git >/dev/null 2>&1 || apt_install git
}

install_module() {
    say "building and installing quorvane ($1)"
    "$venv/bin/python" -m pip install -q ".[$1]"
}

# The C++ suites build with warnings as errors: plainly, under AddressSanitizer
# + UBSan with libstdc++ assertions, and under ThreadSanitizer (with one OpenMP
# thread, since GNU OpenMP is not instrumented; the engine's own std::threads
# still race there). Each test runs at every SIMD level of the architecture
# (its name ends in the level). Arguments: the builds to run (dev, asan, tsan).
run_cpp_tests() {
    apt_install libgtest-dev
    "$venv/bin/python" -m pip install -q cmake ninja "cmeel-eigen>=3.4,<3.5"
    local name flags
    for name in "$@"; do
        flags=(-DQUORVANE_BUILD_MODULE=OFF -DQUORVANE_BUILD_TESTS=ON -DQUORVANE_WERROR=ON)
        case "$name" in
            asan) flags+=(-DQUORVANE_SANITIZE=ON -DCMAKE_BUILD_TYPE=RelWithDebInfo) ;;
            tsan) flags+=(-DQUORVANE_TSAN=ON -DCMAKE_BUILD_TYPE=RelWithDebInfo) ;;
        esac
        say "C++ tests ($name)"
        PATH=$venv/bin:$PATH cmake -S . -B "build/cpp-$name" -G Ninja \
            -DPython_EXECUTABLE="$venv/bin/python" "${flags[@]}" >/dev/null
        PATH=$venv/bin:$PATH cmake --build "build/cpp-$name"
        (cd "build/cpp-$name" && PATH=$venv/bin:$PATH ASAN_OPTIONS=detect_leaks=1 \
            TSAN_OPTIONS=halt_on_error=1 OMP_NUM_THREADS=$([ "$name" = tsan ] && echo 1 || nproc) \
            ctest --output-on-failure --no-tests=error -j 2)
    done
}

# The C++ suites cross-built for aarch64 with Debian's cross compiler and run
# under qemu-aarch64: test_levels holds digests of trained engines that this
# run must reproduce bit for bit, as the native one does. Configuring needs
# no Python: only the core and its tests are built.
run_aarch64_tests() {
    apt_install g++-aarch64-linux-gnu qemu-user libeigen3-dev googletest
    local toolchain=$root/cmake/aarch64-linux-gnu.cmake gtest=$root/build/aarch64-gtest
    if [ ! -f "$gtest/install/lib/cmake/GTest/GTestConfig.cmake" ]; then
        say "GoogleTest for aarch64"
        PATH=$venv/bin:$PATH cmake -S /usr/src/googletest -B "$gtest" -G Ninja -DCMAKE_TOOLCHAIN_FILE="$toolchain" \
            -DCMAKE_BUILD_TYPE=Release -DBUILD_GMOCK=OFF -DCMAKE_INSTALL_PREFIX="$gtest/install" >/dev/null 2>&1
        PATH=$venv/bin:$PATH cmake --build "$gtest" >/dev/null
        PATH=$venv/bin:$PATH cmake --install "$gtest" >/dev/null
    fi
    say "C++ tests (aarch64, under qemu)"
    PATH=$venv/bin:$PATH cmake -S . -B build/cpp-aarch64 -G Ninja -DCMAKE_TOOLCHAIN_FILE="$toolchain" \
        -DQUORVANE_BUILD_MODULE=OFF -DQUORVANE_BUILD_TESTS=ON -DQUORVANE_WERROR=ON \
        -DGTest_DIR="$gtest/install/lib/cmake/GTest" >/dev/null
    PATH=$venv/bin:$PATH cmake --build build/cpp-aarch64
    local start=$SECONDS
    (cd build/cpp-aarch64 && PATH=$venv/bin:$PATH ctest --output-on-failure --no-tests=error -j 2)
    say "aarch64 suites passed under qemu in $((SECONDS - start)) s"
}

# The model-file loader under libFuzzer with AddressSanitizer and UBSan
# (clang-14), for a bounded time, from the committed seed corpus; what it
# finds is written beside the build, never into the sources.
run_fuzzer() {
    apt_install clang-14 libclang-rt-14-dev libomp-14-dev
    "$venv/bin/python" -m pip install -q cmake ninja "cmeel-eigen>=3.4,<3.5"
    say "model-file fuzzer (${QUORVANE_FUZZ_SECONDS:-60} s)"
    PATH=$venv/bin:$PATH CC=clang-14 CXX=clang++-14 cmake -S . -B build/fuzz -G Ninja \
        -DPython_EXECUTABLE="$venv/bin/python" -DQUORVANE_BUILD_MODULE=OFF -DQUORVANE_FUZZ=ON \
        -DQUORVANE_WERROR=ON -DCMAKE_BUILD_TYPE=RelWithDebInfo >/dev/null
    PATH=$venv/bin:$PATH cmake --build build/fuzz
    rm -rf build/fuzz/found && mkdir -p build/fuzz/found
    (cd build/fuzz && OMP_NUM_THREADS=1 ./tests/fuzz/fuzz_model_file -max_total_time="${QUORVANE_FUZZ_SECONDS:-60}" \
        -rss_limit_mb=2048 -malloc_limit_mb=1024 -print_final_stats=1 found "$root/tests/fuzz/corpus" 2>&1 | tail -12)
}

# The README's wheel commands (its one bash block that runs auditwheel repair), run as
# written in a copy of the sources beside a venv of their own, as the README's first
# command leaves one. The block's bare `pip` is a fresh venv's, which then imports the
# repaired wheel from outside the sources and classifies with it.
check_readme_wheel() (
    local scratch block
    scratch=$(mktemp -d)
    trap 'rm -rf "$scratch"' EXIT
    block=$("$venv/bin/python" - <<'EOF'
import re, sys
blocks = [b for b in re.findall(r"^```bash\n(.*?)^```", open("README.md").read(), re.M | re.S)
          if "auditwheel repair" in b]
if len(blocks) != 1:
    sys.exit(f"README.md has {len(blocks)} bash blocks that run auditwheel repair, not one")
print(blocks[0], end="")
EOF
    )
    say "README wheel commands, in a copy of the sources"
    mkdir "$scratch/src"
    git ls-files -z --cached --others --exclude-standard |
        tar --null -T - --ignore-failed-read -cf - 2>/dev/null | tar -xf - -C "$scratch/src"
    "$venv/bin/python" -m venv "$scratch/src/.venv"
    "$venv/bin/python" -m venv "$scratch/fresh"
    if ! (cd "$scratch/src" && PATH="$scratch/fresh/bin:$PATH" bash -euo pipefail -c "$block") \
        >"$scratch/log" 2>&1; then
        tail -n 40 "$scratch/log"
        echo "the README's wheel commands failed (above: the end of their output)" >&2
        exit 1
    fi
    cd "$scratch"
    "$scratch/fresh/bin/python" - <<'EOF'
import contextlib, io
from pathlib import Path
import quorvane
X = [[0.0, 0.0], [0.0, 1.0], [1.0, 0.0], [10.0, 10.0], [10.0, 11.0], [11.0, 10.0]]
engine = quorvane.KNNEngine(quorvane.KNNConfig())
with contextlib.redirect_stdout(io.StringIO()):
    engine.train(X, ["near"] * 3 + ["far"] * 3)
assert engine.predict_batch([[0.5, 0.5], [10.5, 10.5]]) == ["near", "far"]
libs = sorted(p.name for p in Path(quorvane.__file__).parents[1].glob("quorvane.libs/*"))
assert any(name.startswith("libgomp") for name in libs), f"no OpenMP runtime in the wheel: {libs}"
wheel = next(Path("src/dist").glob("*manylinux*.whl")).name
print(f"{wheel} installs in a fresh venv and classifies; it carries {', '.join(libs)}")
EOF
)

run_python_tests() {
    local level
    for level in "$@"; do
        say "Python tests (QUORVANE_SIMD=$level)"
        QUORVANE_SIMD=$level "$venv/bin/python" -m pytest
    done
}

setup_toolchain
setup_python
case "$job" in
    demo)
        install_module demo
        "$venv/bin/python" examples/digits_demo.py
        ;;
    test)
        run_cpp_tests dev asan tsan
        run_aarch64_tests
        run_fuzzer
        install_module test
        # Once at the best level this CPU has, once at the portable one.
        run_python_tests auto portable
        check_readme_wheel
        ;;
    quick)
        run_cpp_tests dev
        install_module test
        run_python_tests auto
        ;;
    bench)
        install_module bench
        "$venv/bin/python" bench/run.py "${@:2}"
        ;;
    *)
        echo "usage: $0 demo|test|quick|bench" >&2
        exit 2
        ;;
esac
