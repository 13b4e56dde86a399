#!/usr/bin/env python3
"""End-to-end runs of launchers built so that a system function cannot be
bound, as on a system that lacks it: the call fails the way that function
fails, and the launcher's ordinary failure path runs. Nothing ends the
process early.

(The update thread's case needs the update server's port and is in update.py.)
"""
import subprocess
import sys
from pathlib import Path

sys.path.insert(0, str(Path(__file__).resolve().parent))
import launch  # noqa: E402
from launch import check, parse_pairs  # noqa: E402

ERROR_PROC_NOT_FOUND = 127


def scenario_main_thread():
    """The security descriptor of the private folder cannot be made: one box
    with the system's text for the missing function, shown after clean-up,
    and exit 0."""
    launch.run_failure(launch.ARGS.unbound_main, launch.system_text(ERROR_PROC_NOT_FOUND))


def scenario_no_message_box():
    """The same failure with MessageBoxW unbound as well: the box cannot be
    shown, and the launcher still cleans up and exits 0 at once."""
    arch = "64"
    before = launch.temp_listing(arch)
    out = launch.WORK / "no-box.txt"
    watch = launch.wine(arch, launch.ARGS.box_helper, "--caption", "KOVA Sparlin", "--press", "OK",
                        "--timeout-ms", "20000", "--out", str(out), background=True)
    try:
        run = launch.wine(arch, launch.ARGS.unbound_box)
    finally:
        # A box would have been found and closed by now; a pending search is ended.
        try:
            watch.wait(timeout=0.6)
        except subprocess.TimeoutExpired:
            watch.kill()
            watch.wait(timeout=10)
    seen = parse_pairs(out.read_text(encoding="utf-8", errors="replace")) if out.exists() else {}
    check(seen.get("text") is None, f"a box came up: {seen}")
    check(run.returncode == 0, f"exit code {run.returncode}")
    check(launch.temp_listing(arch) == before, "temporary files left behind")


def scenario_arguments():
    """The command line cannot be split, which happens while both tools
    decode: the failure is shown only after both have ended and every file
    is gone."""
    launch.run_failure(launch.ARGS.unbound_arguments, launch.system_text(ERROR_PROC_NOT_FOUND))


SCENARIOS = {name[len("scenario_"):].replace("_", "-"): fn for name, fn in globals().items()
             if name.startswith("scenario_")}


def main():
    launch.ARGS = launch.parse_arguments(
        SCENARIOS, required=("wine-run", "wine-dir", "box-helper", "unit-tests", "unbound-main", "unbound-box",
                             "unbound-arguments"))
    return launch.run_scenario(SCENARIOS, launch.ARGS)


if __name__ == "__main__":
    sys.exit(main())
