#!/usr/bin/env python3
"""The stub started as it is: a launcher without its payload. One message box
(no resource of the payload's type), nothing left behind, exit code 0.

usage: stub_alone.py --stub S --wine-run R --wine-dir D --box-helper B --unit-tests U"""
import os
import sys

sys.path.insert(0, os.path.join(os.path.dirname(os.path.abspath(__file__)), "..", "e2e"))
import launch  # noqa: E402


def main():
    launch.ARGS = launch.parse_arguments({"stub-alone": None}, required=(
        "stub", "wine-run", "wine-dir", "box-helper", "unit-tests"))
    scenarios = {"stub-alone": lambda: launch.run_failure(launch.ARGS.stub, launch.system_text(1813))}
    return launch.run_scenario(scenarios, launch.ARGS)


if __name__ == "__main__":
    sys.exit(main())
