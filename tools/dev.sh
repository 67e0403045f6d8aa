#!/usr/bin/env bash
# Set-up, build and run for developers and CI, on Debian 12.
#   tools/dev.sh run [settings file]   install what is missing, build, start the program
#   tools/dev.sh test                  install what is missing, build, run every test
#   tools/dev.sh tsan                  the core and JACK tests again under ThreadSanitizer
#   tools/dev.sh asan                  the core tests again under AddressSanitizer and
#                                      UndefinedBehaviorSanitizer
#   tools/dev.sh package               build, then a Debian package (build/tempovane_*.deb)
#   tools/dev.sh format                format every C++ file with the root .clang-format
#   tools/dev.sh format-check          fail on a C++ file that is not formatted
set -euo pipefail
cd "$(dirname "$0")/.."

PACKAGES=(
    cmake ninja-build g++ pkg-config python3
    qt6-base-dev qt6-charts-dev libqt6opengl6-dev libxkbcommon-dev libgl-dev
    libjack-jackd2-dev jackd2 jack-midi-clock librtmidi-dev
    pipewire pipewire-bin pipewire-jack wireplumber dbus-daemon
    libgtest-dev libgmock-dev libbenchmark-dev
    ableton-link-dev libasio-dev ableton-link-utils iproute2
    fonts-liberation2 fonts-dejavu-core
    clang-14 clang-format-14 libfuzzer-14-dev dpkg-dev desktop-file-utils groff-base
)

install_missing() {
    local missing=() p
    for p in "${PACKAGES[@]}"; do
        dpkg-query -W -f='${Status}' "$p" 2>/dev/null | grep -q "install ok installed" || missing+=("$p")
    done
    [ ${#missing[@]} -eq 0 ] && return 0
    local sudo=""
    [ "$(id -u)" -ne 0 ] && sudo="sudo"
    echo "Installing: ${missing[*]}"
    $sudo apt-get update
    DEBIAN_FRONTEND=noninteractive $sudo apt-get install -y --no-install-recommends "${missing[@]}"
}

build() {  # build folder, extra cmake arguments...
    local dir=$1
    shift
    # ccache, where the developer has it, makes the second and later builds fast.
    local launcher=""
    command -v ccache >/dev/null 2>&1 && launcher="-DCMAKE_CXX_COMPILER_LAUNCHER=ccache"
    cmake -S . -B "$dir" -G Ninja -DCMAKE_BUILD_TYPE=RelWithDebInfo $launcher "$@"
    cmake --build "$dir" -j "$(nproc)" ${BUILD_TARGET:+--target "$BUILD_TARGET"}
}

case "${1:-}" in
    run)
        install_missing
        build build
        # Output definitions are looked up in ./outdrv, which the build places next to the program.
        cd build
        exec ./tempovane "${@:2}"
        ;;
    test)
        install_missing
        build build
        # Every suite at once, a test a core. A JACK test whose figure a server xrun may spoil
        # says why and carries the label "xrun" (tests/CMakeLists.txt): on a shared, loaded
        # machine it can meet one it cannot place, and one more try tells that apart from a
        # fault, which fails every time. Every other test must pass at its first go.
        status=0
        ctest --test-dir build --output-on-failure -j "$(nproc)" -LE '^xrun$' || status=1
        ctest --test-dir build --output-on-failure -j "$(nproc)" -L '^xrun$' \
            --repeat until-pass:2 || status=1
        exit "$status"
        ;;
    tsan)
        install_missing
        # -Wno-tsan: the asio inside Link's headers uses thread fences, and gcc says at each one
        # that the sanitizer cannot follow them. Our own code uses none.
        build build-tsan -DTEMPOVANE_CORE_ONLY=ON -DTEMPOVANE_BENCHES=OFF "-DCMAKE_CXX_FLAGS=-fsanitize=thread -Wno-tsan" \
            -DCMAKE_EXE_LINKER_FLAGS=-fsanitize=thread
        # Which tests run under it, and why the others do not:
        # - the JACK tests run against jackd2 only. PipeWire's libjack writes MIDI events into
        #   memory its own threads map and hand over with their own futexes; the sanitizer
        #   does not see those and reports PipeWire's internals, never our code, which it
        #   checks against jackd2's libjack here and against PipeWire in the plain pass.
        # - the lock's JACK tests hold our beat to a few frames of the master's; the sanitizer
        #   slows the input thread too much for that. The lock's threads run under it in the
        #   core ClockLock and dispatch tests, and its figures are checked in the plain pass.
        # atexit_sleep_ms=0: the sanitizer otherwise naps a second at every exit, and the
        # tests hold a program's close to the two seconds a user may wait.
        export TSAN_OPTIONS="halt_on_error=1 second_deadlock_stack=1 atexit_sleep_ms=0"
        slow='ClockLockJackTest\.'
        status=0
        ctest --test-dir build-tsan --output-on-failure -j "$(nproc)" -R '^core\.' -LE '^xrun$' \
            || status=1
        ctest --test-dir build-tsan --output-on-failure -LE '^xrun$' \
            -E "^(core|pipewire)\.|^jack\.($slow)" || status=1
        ctest --test-dir build-tsan --output-on-failure -L '^xrun$' --repeat until-pass:3 \
            -E "^pipewire\.|^jack\.($slow)" || status=1
        exit "$status"
        ;;
    asan)
        install_missing
        # float-cast-overflow is not part of "undefined": a double beyond an integer's range
        # (from a file, say) must never be converted to it.
        # Only the core tests run here, so only they are built.
        BUILD_TARGET=tempovane_core_tests build build-asan -DTEMPOVANE_CORE_ONLY=ON -DTEMPOVANE_BENCHES=OFF \
            "-DCMAKE_CXX_FLAGS=-fsanitize=address,undefined,float-cast-overflow -fno-sanitize-recover=all -fno-omit-frame-pointer" \
            "-DCMAKE_EXE_LINKER_FLAGS=-fsanitize=address,undefined,float-cast-overflow"
        ASAN_OPTIONS="detect_leaks=1:strict_init_order=1" UBSAN_OPTIONS="print_stacktrace=1" \
            ctest --test-dir build-asan --output-on-failure -j "$(nproc)" -R '^core\.'
        ;;
    format)
        # Formats every C++ file of the tree in place, with the root .clang-format.
        install_missing
        git ls-files '*.cpp' '*.h' | xargs clang-format-14 -i
        ;;
    format-check)
        # Fails naming each C++ file that clang-format would change.
        install_missing
        unformatted=$(git ls-files '*.cpp' '*.h' | while read -r file; do
            clang-format-14 --dry-run --Werror "$file" >/dev/null 2>&1 || echo "$file"
        done)
        if [ -n "$unformatted" ]; then
            echo "Not formatted (bash tools/dev.sh format formats them):" >&2
            echo "$unformatted" >&2
            exit 1
        fi
        ;;
    package)
        install_missing
        build build
        desktop-file-validate data/tempovane.desktop
        (cd build && cpack -G DEB)
        ls -l build/tempovane_*.deb
        ;;
    *)
        echo "usage: $0 run [settings file] | test | tsan | asan | package | format | format-check" >&2
        exit 2
        ;;
esac
