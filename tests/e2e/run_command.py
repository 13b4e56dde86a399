#!/usr/bin/env python3
"""The README's run command, as a user without a display runs it: the demo
window appears, its screenshot is saved and shows that window, the window is
closed and the script ends with the launcher's exit code 0. Where no 32-bit
code runs, the script first says that it shows the x64 build."""
import os
import re
import subprocess
import sys
from pathlib import Path

ROOT = Path(__file__).resolve().parents[2]


def main():
    env = {k: v for k, v in os.environ.items() if k != "DISPLAY"}
    run = subprocess.run(["bash", str(ROOT / "scripts/run.sh")], cwd=ROOT, env=env, stdin=subprocess.DEVNULL,
                         stdout=subprocess.PIPE, stderr=subprocess.STDOUT, text=True, timeout=900)
    out = run.stdout
    failures = []
    if run.returncode != 0:
        failures.append(f"exit code {run.returncode}")
    if "Sparlin.exe exited with code 0" not in out:
        failures.append("no launcher exit code 0")
    x86 = subprocess.run(["bash", str(ROOT / "tests/wine/wine-loader"), "x86-runs"]).returncode == 0
    if x86 == ("runs no 32-bit x86 code" in out):
        failures.append("the x64 notice is wrong for this machine")
    shot = re.search(r'^Screenshot of the demo window "Sparlin Demo \(x64\)" \((\d+)x(\d+)\): (.+)$', out, re.M)
    if not shot:
        failures.append("no screenshot line")
    else:
        # The picture is the demo window itself (its size), and not blank.
        width, height, path = shot.group(1), shot.group(2), shot.group(3)
        seen = subprocess.run(["identify", "-format", "%w %h %k", path], capture_output=True, text=True).stdout.split()
        if seen[:2] != [width, height] or int(seen[2]) <= 16:
            failures.append(f"screenshot {path}: size and colours {seen}, window {width}x{height}")
    if failures:
        print(out)
        print("FAILED: " + "; ".join(failures))
        return 1
    print("run command: demo window shown, screenshot saved, exit code 0")
    return 0


if __name__ == "__main__":
    sys.exit(main())
