#!/usr/bin/env bash
# Builds Sparlin.exe with the embedded demo payload and starts it under Wine,
# as a user's double-click would. Arguments are passed on to the launcher.
# With a usable X display the demo window appears there and the launcher ends
# when it is closed; without one (CI, a terminal over ssh) it runs under a
# private Xvfb, a screenshot of the demo window is saved, and the window is
# closed for you.
set -euo pipefail
root=$(cd "$(dirname "$0")/.." && pwd)
cd "$root"
bash scripts/setup.sh
cmake --preset windows-x86 >/dev/null
cmake --build --preset windows-x86 --target Sparlin box_helper
build=$root/build/windows-x86
launcher=$build/Launcher/Sparlin.exe
wine_dir=$build/wine-run
mkdir -p "$wine_dir"

if [ -n "${DISPLAY:-}" ] && xdpyinfo >/dev/null 2>&1; then
    export WINEPREFIX=$wine_dir/prefix64 WINEDEBUG=-all WINEDLLOVERRIDES="mscoree,mshtml="
    wine "$launcher" "$@"
    echo "Sparlin.exe exited with code $?"
    exit 0
fi

tests/wine/wine-env start "$wine_dir" 64
trap 'tests/wine/wine-env stop "$wine_dir"' EXIT
. "$wine_dir/env"
tests/wine/wine-run "$wine_dir" 64 "$launcher" "$@" &
launcher_pid=$!
for _ in $(seq 1 150); do
    xdotool search --onlyvisible --name "Sparlin Demo" >/dev/null 2>&1 && break
    sleep 0.2
done
sleep 0.5
screenshot=$build/run-screenshot.png
import -window root "$screenshot"
echo "Screenshot of the demo window: $screenshot"
tests/wine/wine-run "$wine_dir" 64 "$build/tests/helpers/BoxHelper.exe" --class any --caption "Sparlin Demo (x64)" \
    --press OK --timeout-ms 10000 | grep -E '^(caption|pressed|closed)=' || true
wait $launcher_pid
echo "Sparlin.exe exited with code $?"
