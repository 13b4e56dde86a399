#!/usr/bin/env bash
# Builds Sparlin.exe with the embedded demo payload and starts it under Wine,
# as a user's double-click would. Arguments are passed on to the launcher.
# With a usable X display the demo window appears there and the launcher ends
# when it is closed; without one (CI, a terminal over ssh) it runs under a
# private Xvfb, a screenshot of the demo window is saved, and the window is
# closed for you. Exits with the launcher's exit code, or 1 when no demo
# window appeared.
set -euo pipefail
root=$(cd "$(dirname "$0")/.." && pwd)
cd "$root"
bash scripts/setup.sh

preset=windows-x86
if ! bash tests/wine/wine-loader x86-runs; then
    # Wine cannot start a 32-bit program on such a kernel; the x64 build of
    # the same sources carries the x64 demo and behaves the same.
    echo "This machine runs no 32-bit x86 code, so Wine cannot start the shipped 32-bit Sparlin.exe: the x64 build of the same sources is shown instead."
    preset=windows-x64
fi
cmake --preset "$preset" >/dev/null
cmake --build --preset "$preset" --target Sparlin box_helper
build=$root/build/$preset
launcher=$build/Launcher/Sparlin.exe
wine_dir=$build/wine-run
screenshot=$build/run-screenshot.png
# Either launcher runs in the 64-bit prefix, where the demo is the x64 one.
caption="Sparlin Demo (x64)"
rm -f "$screenshot"
mkdir -p "$wine_dir"

if [ -n "${DISPLAY:-}" ] && xdpyinfo >/dev/null 2>&1; then
    # The user's own display: no Xvfb, the prefix is made on first use.
    set +e
    WINEDEBUG=-all tests/wine/wine-run "$wine_dir" 64 "$launcher" "$@"
    code=$?
    set -e
    echo "Sparlin.exe exited with code $code"
    exit "$code"
fi

tests/wine/wine-env start "$wine_dir" 64
trap 'tests/wine/wine-env stop "$wine_dir"' EXIT
. "$wine_dir/env"
tests/wine/wine-run "$wine_dir" 64 "$launcher" "$@" &
launcher_pid=$!

# Waits until the demo window is mapped, or the launcher shows its error box
# or has ended, or a minute has passed.
window=
for _ in $(seq 1 600); do
    window=$(xdotool search --onlyvisible --name "^Sparlin Demo \\(x64\\)\$" 2>/dev/null | head -n 1) || true
    [ -n "$window" ] && break
    kill -0 "$launcher_pid" 2>/dev/null || break
    xdotool search --onlyvisible --name "^KOVA Sparlin\$" >/dev/null 2>&1 && break
    sleep 0.1
done

if [ -z "$window" ]; then
    echo "run: the demo window did not appear; no screenshot was saved" >&2
    # Whatever the launcher shows instead is reported and answered, so that it ends.
    tests/wine/wine-run "$wine_dir" 64 "$build/tests/helpers/BoxHelper.exe" --caption "KOVA Sparlin" \
        --press OK --timeout-ms 2000 | sed -n 's/^text=/run: the launcher showed: /p' >&2 || true
    if kill -0 "$launcher_pid" 2>/dev/null; then
        kill "$launcher_pid" 2>/dev/null || true
    fi
    wait "$launcher_pid" 2>/dev/null || true
    exit 1
fi

# The window is mapped before its controls have painted: shoot it until the
# picture holds more than the background, for at most ten seconds.
geometry=$(xdotool getwindowgeometry "$window" | awk '/Geometry:/ {print $2}')
shot=$build/run-screenshot.tmp.png
painted=
for _ in $(seq 1 100); do
    if import -window "$window" "$shot" 2>/dev/null &&
        [ "$(identify -format '%k' "$shot" 2>/dev/null || echo 0)" -gt 16 ]; then
        painted=1
        break
    fi
    sleep 0.1
done
if [ -z "$painted" ]; then
    echo "run: the demo window ($geometry) never showed its contents; no screenshot was saved" >&2
    rm -f "$shot"
else
    mv "$shot" "$screenshot"
    echo "Screenshot of the demo window \"$caption\" ($geometry): $screenshot"
fi
tests/wine/wine-run "$wine_dir" 64 "$build/tests/helpers/BoxHelper.exe" --class any --caption "$caption" \
    --press OK --timeout-ms 10000 | grep -E '^(caption|pressed|closed)=' || true
set +e
wait "$launcher_pid"
code=$?
set -e
echo "Sparlin.exe exited with code $code"
[ -n "$painted" ] || exit 1
exit "$code"
