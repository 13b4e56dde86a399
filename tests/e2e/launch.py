#!/usr/bin/env python3
"""End-to-end runs of the launcher under Wine.

Each scenario starts a real launcher executable in one of the test prefixes,
lets the demo payload report what it saw (command line, arguments, what it
could do with its own files, the temporary directory), and checks the
launcher's side: the files it unpacked, what it left behind, its message box
and its exit code.
"""
import argparse
import os
import re
import shutil
import subprocess
import sys
import tempfile
import time
import urllib.parse
from pathlib import Path

ARGS = None
WORK = Path(tempfile.mkdtemp(prefix="sparlin-e2e-"))


class Failure(Exception):
    pass


def check(condition, message):
    if not condition:
        raise Failure(message)


def wine(arch, *command, env=None, background=False, capture=True, cwd=None):
    full_env = dict(os.environ)
    full_env.update(env or {})
    argv = [ARGS.wine_run, ARGS.wine_dir, arch, *command]
    if background:
        return subprocess.Popen(argv, env=full_env, stdin=subprocess.DEVNULL, stdout=subprocess.DEVNULL,
                                stderr=subprocess.DEVNULL, cwd=cwd)
    if capture:
        return subprocess.run(argv, env=full_env, stdin=subprocess.DEVNULL, capture_output=True, timeout=60,
                              cwd=cwd)
    return subprocess.run(argv, env=full_env, stdin=subprocess.DEVNULL, stdout=subprocess.DEVNULL,
                          stderr=subprocess.DEVNULL, timeout=60, cwd=cwd)


_prefix_dirs = {}


def prefix_dir(arch, expression):
    """A folder of the prefix named by a cmd expression: (Windows path, Unix path)."""
    if (arch, expression) not in _prefix_dirs:
        windows = wine(arch, "cmd", "/c", "echo " + expression).stdout.decode(errors="replace").strip()
        unix = wine(arch, "winepath.exe", "-u", windows).stdout.decode(errors="replace").strip()
        check(windows and unix, f"no {expression} in prefix {arch}")
        _prefix_dirs[(arch, expression)] = (windows, Path(unix))
    return _prefix_dirs[(arch, expression)]


def temp_dir(arch):
    """The prefix user's temporary directory."""
    return prefix_dir(arch, "%TEMP%")


def root_dir(arch):
    """Where an elevated start unpacks: the Windows directory's own Temp."""
    return prefix_dir(arch, "%SystemRoot%\\Temp")


PRODUCT = "Sparlin"


def product_dir(arch):
    """The product's own folder in the root, which holds the private folders."""
    windows, unix = root_dir(arch)
    return windows.rstrip("\\") + "\\" + PRODUCT, unix / PRODUCT


def root_listing(arch):
    """The private folders present, in the product's folder (none before it exists)."""
    folder = product_dir(arch)[1]
    return set(os.listdir(folder)) if folder.is_dir() else set()


def temp_listing(arch):
    """Every place a start could leave something: the root (the product's folder itself stays), the product's
    folder and the user's temporary directory."""
    return ({("root", name) for name in os.listdir(root_dir(arch)[1]) if name != PRODUCT} |
            {("product", name) for name in root_listing(arch)} |
            {("temp", name) for name in os.listdir(temp_dir(arch)[1])})


def windows_path(arch, path):
    return wine(arch, "winepath.exe", "-w", str(path)).stdout.decode(errors="replace").strip()


def parse_pairs(text):
    pairs = {}
    for line in text.splitlines():
        if "=" in line:
            key, value = line.split("=", 1)
            pairs.setdefault(key, []).append(urllib.parse.unquote(value))
    return pairs


def one(pairs, key):
    values = pairs.get(key, [])
    check(len(values) == 1, f"expected one {key!r} in the report, got {values!r}")
    return values[0]


def wait_for(path, seconds=30):
    deadline = time.monotonic() + seconds
    while time.monotonic() < deadline:
        if path.exists():
            return True
        time.sleep(0.05)
    return False


def demo_env(report, **extra):
    env = {"SPARLIN_DEMO_REPORT": str(report)}
    env.update({f"SPARLIN_DEMO_{k.upper()}": str(v) for k, v in extra.items()})
    return env


def windows_basename(path):
    return path.replace("/", "\\").rsplit("\\", 1)[-1]


def private_folder(arch, unpacked_path):
    """The Unix path of the folder one start unpacked into, checked for its place and name."""
    windows_root = product_dir(arch)[0]
    parent, _, _ = unpacked_path.rpartition("\\")
    grand, _, name = parent.rpartition("\\")
    check(grand.lower() == windows_root.lower(), f"{unpacked_path} is not in a folder of {windows_root}")
    check(re.fullmatch(r"Sparlin-[0-9A-F]{32}", name) is not None, f"folder name {name!r} is guessable")
    return product_dir(arch)[1] / name


def can_rename(arch, folder):
    """Whether another program can rename the folder (it is put back if so)."""
    result = wine(arch, "cmd", "/c", "ren", windows_path(arch, folder), folder.name + "-moved")
    moved = folder.parent / (folder.name + "-moved")
    if moved.exists():
        moved.rename(folder)
        return True
    return False


def system_text(code):
    """The system's own message for a Windows error code, from inside Wine."""
    result = wine("64", ARGS.unit_tests, "--child", f"message:{code}")
    return result.stdout.decode("utf-8")


# --- scenarios -------------------------------------------------------------

def run_demo(arch, user_args, expected_bitness, gui, layout, env=None):
    before = temp_listing(arch)
    report = WORK / f"report-{arch}.txt"
    release = WORK / f"release-{arch}"
    report.unlink(missing_ok=True)
    release.unlink(missing_ok=True)
    launcher = wine(arch, ARGS.launcher, *user_args, background=True, cwd=WORK,
                    env={**demo_env(report, wait_file=release, exit=7), **(env or {})})
    try:
        check(wait_for(report), "the application never reported")
        seen = parse_pairs(report.read_text(encoding="utf-8"))
        app_path, layout_path = one(seen, "arg0"), one(seen, "arg1")
        folder = private_folder(arch, app_path)
        # Held by the launcher: no other program can rename it away meanwhile.
        check(not can_rename(arch, folder), "another program renamed the private folder while it was in use")
        # While the application runs: its files hold exactly what was packed,
        # and nothing else is left in the folder (the tool and the packed
        # streams are gone before the application starts).
        app_file = folder / windows_basename(app_path)
        layout_file = folder / windows_basename(layout_path)
        check(sorted(os.listdir(folder)) == sorted([app_file.name, layout_file.name]),
              f"the private folder holds {sorted(os.listdir(folder))}")
        check(app_file.read_bytes() == Path(gui).read_bytes(), "unpacked application differs from its input")
        check(layout_file.read_bytes() == Path(layout).read_bytes(), "unpacked layout library differs from its input")
    finally:
        release.touch()
        code = launcher.wait(timeout=60)
    check(code == 0, f"launcher exit code {code}, expected 0 (the application returned 7)")
    check(one(seen, "bitness") == expected_bitness, f"bitness {one(seen, 'bitness')}")
    check(one(seen, "layout_result") == f"demolayout {expected_bitness} 1.0", "layout library not loaded")
    check(one(seen, "argc") == str(2 + len(user_args)), f"argc {one(seen, 'argc')}")
    for i, argument in enumerate(user_args):
        check(one(seen, f"arg{i + 2}") == argument, f"argument {i} arrived as {one(seen, f'arg{i + 2}')!r}")
    check(app_path.lower().endswith(".exe"), f"application name {app_path}")
    check(layout_path.lower().endswith(".tmp"), f"layout library name {layout_path} lost the default extension")
    # The application works where the launcher was started, not in the private folder.
    check(one(seen, "cwd").rstrip("\\").lower() == windows_path(arch, WORK).rstrip("\\").lower(),
          f"the application's current directory is {one(seen, 'cwd')}")
    user_temp = {("temp", name) for name in seen.get("temp_entry", [])}
    check(user_temp <= before, f"new in the user's temporary directory while the application ran: {user_temp - before}")
    # Held open for reading with read sharing only: no writer, no deletion.
    for key in ("layout_write_open_before_load", "self_write_open", "layout_write_open", "self_delete",
                "layout_delete"):
        check(one(seen, key) != "ok", f"{key} succeeded while the launcher held the file")
    check(one(seen, "layout_write_open_before_load") == "32", "layout library not held against writers")
    after = temp_listing(arch)
    check(after <= before, f"left behind: {sorted(after - before)}")
    return seen


def scenario_run_64():
    seen = run_demo("64", ["/lang", "en", "with space", "-hide", "C:\\a dir\\"[:-1]], "x64", ARGS.gui64,
                    ARGS.layout64)
    line = one(seen, "cmdline")
    check('"with space"' in line and '"C:\\a dir"' in line, f"arguments with spaces not quoted: {line}")
    check(line.endswith("-hide \"C:\\a dir\""), f"argument order: {line}")


def scenario_run_32():
    run_demo("32", ["/lang", "de", "x y"], "x86", ARGS.gui32, ARGS.layout32)


def scenario_no_arguments():
    seen = run_demo("64", [], "x64", ARGS.gui64, ARGS.layout64)
    line = one(seen, "cmdline")
    check(line == f"{one(seen, 'arg0')} {one(seen, 'arg1')}", f"command line without arguments: {line}")


def run_failure(launcher, expected_text, arch="64"):
    """The launcher shows one error box; nothing it made is left when it does."""
    before = temp_listing(arch)
    before_root = root_listing(arch)
    process = wine(arch, launcher, background=True)
    try:
        # Through a file: a pipe could be inherited by Wine's desktop process
        # and held open long after the helper has ended.
        out = WORK / "box.txt"
        box = wine(arch, ARGS.box_helper, "--caption", "KOVA Sparlin", "--list-dir", product_dir(arch)[0],
                   "--press", "OK", "--timeout-ms", "30000", "--out", str(out), capture=False)
        seen = parse_pairs(out.read_text(encoding="utf-8", errors="replace") if out.exists() else "")
        check(box.returncode == 0, f"no message box: {seen}")
    finally:
        try:
            code = process.wait(timeout=60)
        except subprocess.TimeoutExpired:
            # Its box would otherwise stay up and be answered by later tests.
            process.kill()
            process.wait(timeout=10)
            code = None
    check(code is not None, "the launcher was still running 60 s after its box")
    text = one(seen, "text")
    if callable(expected_text):
        check(expected_text(text), f"box text {text!r}")
    else:
        check(text == expected_text, f"box text {text!r}, expected {expected_text!r}")
    check(one(seen, "icon") == "yes" and one(seen, "buttons") == "OK", f"box style {seen}")
    shown_with = set(seen.get("dir_entry", []))
    check(shown_with <= before_root,
          f"temporary files present while the box was shown: {sorted(shown_with - before_root)}")
    check(code == 0, f"exit code {code} after a shown failure")
    check(temp_listing(arch) <= before, f"temporary files left behind: {sorted(temp_listing(arch) - before)}")


def scenario_missing_gui():
    run_failure(ARGS.missing_gui, system_text(1814))


def scenario_tool_writes_nothing():
    run_failure(ARGS.tool_writes_nothing, system_text(2))


def mismatch_of(extension):
    """The integrity failure's text, for a file of the private folder with that extension."""
    pattern = (r'The file "[A-Za-z]:\\.*\\Sparlin-[0-9A-F]{32}\\[0-9A-Fa-f]+\.' + extension +
               r'" is not the one this program carries: it is damaged or was changed\. Nothing was started\.')
    return lambda text: re.fullmatch(pattern, text) is not None


def scenario_tool_writes_wrong_bytes():
    # The layout library is unpacked first: its check stops the launch.
    run_failure(ARGS.tool_writes_wrong_bytes, mismatch_of("tmp"))


def scenario_wrong_tool_digest():
    run_failure(ARGS.wrong_tool_digest, mismatch_of("exe"))


def scenario_tool_decodes_then_fails():
    arch = "64"
    before = temp_listing(arch)
    report = WORK / "report-decodes.txt"
    code = wine(arch, ARGS.tool_decodes_then_fails, "z", env=demo_env(report)).returncode
    check(code == 0, f"exit code {code}")
    seen = parse_pairs(report.read_text(encoding="utf-8"))
    check(one(seen, "layout_result") == "demolayout x64 1.0", "the output the tool left was not used")
    check(temp_listing(arch) <= before, f"temporary files left behind: {sorted(temp_listing(arch) - before)}")


def scenario_delete_refused():
    arch = "64"
    before = temp_listing(arch)
    report = WORK / "report-held.txt"
    release = WORK / "release-holder"
    # Held until the launcher has given up, however slowly it gets there.
    launcher = wine(arch, ARGS.launcher, background=True,
                    env=demo_env(report, hold_ms=60000, hold_release=release))
    try:
        check(wait_for(report), "the application never reported")
        reported = time.monotonic()
        seen = parse_pairs(report.read_text(encoding="utf-8"))
        code = launcher.wait(timeout=60)
        waited = time.monotonic() - reported
    finally:
        release.touch()
    check(code == 0, f"exit code {code}")
    left = temp_listing(arch) - before
    folder = private_folder(arch, one(seen, "arg0"))
    app_name = windows_basename(one(seen, "arg0"))
    check(left == {("product", folder.name)} and os.listdir(folder) == [app_name],
          f"expected only the held application to stay, found {sorted(left)}")
    check(waited >= 2.9, f"gave up after {waited:.1f} s: three attempts one second apart take three")
    # Once nothing holds it any more (the holder ends soon after its
    # release), a later start removes what stayed.
    for _ in range(10):
        # Older than the minute in which it could still be a new start's.
        if folder.exists():
            os.utime(folder, (time.time() - 3600,) * 2)
        wine(arch, ARGS.launcher, "/hide", env=demo_env(WORK / "report-next.txt"), capture=False)
        if not folder.exists():
            break
    check(not folder.exists(), "later starts did not remove the folder that stayed")


def scenario_hostile_temp():
    """TMP and TEMP name a folder of another program's choosing, or a link to
    one: an elevated start unpacks nothing there."""
    arch = "64"
    target = WORK / "their folder"
    target.mkdir()
    link = WORK / "their link"
    link.symlink_to(target, target_is_directory=True)
    own_temp = temp_dir(arch)[0]
    for place in (target, link):
        tmp = windows_path(arch, place)
        # Where an unelevated program sets them for every later process.
        for name in ("TMP", "TEMP"):
            wine(arch, "reg", "add", r"HKCU\Environment", "/v", name, "/d", tmp, "/f")
        try:
            seen = run_demo(arch, ["/hide"], "x64", ARGS.gui64, ARGS.layout64)
        finally:
            for name in ("TMP", "TEMP"):
                wine(arch, "reg", "add", r"HKCU\Environment", "/v", name, "/d", own_temp, "/f")
        check(one(seen, "temp_dir").rstrip("\\").lower() == tmp.rstrip("\\").lower(),
              f"the application did not see TMP as set: {one(seen, 'temp_dir')}")
        check(not seen.get("temp_entry"), f"unpacked into TMP: {seen.get('temp_entry')}")
        check(not os.listdir(target), f"left in TMP: {os.listdir(target)}")


def planted(root, digits, age_s, ours=True, fill="F"):
    """Folders of our name pattern, `age_s` seconds old, each with a file of a start's naming in it. Ours have
    the access list Wine reads back for the launcher's folders; the others, the default one."""
    folders = []
    for digit in digits:
        folder = root / ("Sparlin-" + fill * 31 + digit)
        folder.mkdir(mode=0o700 if ours else 0o755)
        folder.chmod(0o700 if ours else 0o755)
        (folder / "1A2B.exe").write_bytes(b"MZ")
        then = time.time() - age_s
        os.utime(folder, (then, then))
        folders.append(folder)
    return folders


def timed_start(arch, exe, report):
    started = time.monotonic()
    code = wine(arch, exe, "/hide", env=demo_env(report)).returncode
    check(code == 0 and report.exists(), f"a start failed: {code}")
    return time.monotonic() - started


def scenario_stale_folders():
    """Folders that earlier starts left go at the next starts, sixteen picked
    at random per start; young ones (a start may just have made one), ones in use,
    and anything not of our making, stay, and none of them slows a start.
    Folders planted in the root beside the product's folder are never looked at."""
    arch = "64"
    base = timed_start(arch, ARGS.launcher, WORK / "report-base.txt")
    root = product_dir(arch)[1]
    old = planted(root, "0123456789AB", 3600)
    young = planted(root, "CDEF", 0)
    held = [root / ("Sparlin-" + "E" * 31 + digit) for digit in "0123"]
    for folder in held:
        folder.mkdir(mode=0o700)
        os.utime(folder, (time.time() - 3600,) * 2)
    unrelated = root / ("Sparlin-" + "e" * 32)
    unrelated.mkdir(mode=0o700)
    (unrelated / "1A2B.exe").write_bytes(b"MZ")
    os.utime(unrelated, (time.time() - 3600,) * 2)
    foreign = planted(root, "0", 3600, ours=False, fill="D")[0]
    crowd = planted(root_dir(arch)[1], "0123456789ABCDEF", 3600)
    ready, release = WORK / "held-ready", WORK / "held-release"
    holder = wine(arch, ARGS.plant_control, "hold", windows_path(arch, ready), windows_path(arch, release),
                  *[windows_path(arch, folder) for folder in held], background=True)
    try:
        check(wait_for(ready), "the holder never opened its folders")
        first = timed_start(arch, ARGS.launcher, WORK / "report-first.txt")
        removed = [folder for folder in old if not folder.exists()]
        # The others may take slots: the foreign one and the start's own as well.
        others = len(young) + len(held) + 2
        check(len(removed) >= 16 - others, f"only {len(removed)} of the old free folders went")
        second = timed_start(arch, ARGS.launcher, WORK / "report-second.txt")
        check(not any(folder.exists() for folder in old), "old free folders were kept")
        check(all((folder / "1A2B.exe").exists() for folder in young), "a young folder was touched")
        check(all(folder.exists() for folder in held), "a folder in use was touched")
        check((unrelated / "1A2B.exe").exists(), "a folder not of our naming was touched")
        check((foreign / "1A2B.exe").exists(), "a folder not made as ours was touched")
        check(all((folder / "1A2B.exe").exists() for folder in crowd), "a folder beside the product's was touched")
        print(f"a start took {base:.2f} s without planted folders, {first:.2f} s with twenty "
              f"({len(removed)} removed), {second:.2f} s with the rest")
    finally:
        release.touch()
        holder.wait(timeout=60)
        for folder in old + young + held + [unrelated, foreign] + crowd:
            shutil.rmtree(folder, ignore_errors=True)


def scenario_two_starts_at_once():
    """Starts that overlap never take each other's folder: both run, again and again."""
    arch = "64"
    before = temp_listing(arch)
    for round in range(4):
        reports = [WORK / f"report-together-{round}-{i}.txt" for i in range(2)]
        runs = [wine(arch, ARGS.launcher, "/hide", background=True, env=demo_env(report)) for report in reports]
        codes = [run.wait(timeout=60) for run in runs]
        check(codes == [0, 0] and all(report.exists() for report in reports),
              f"round {round}: exit codes {codes}, reports {[r.exists() for r in reports]}")
    check(temp_listing(arch) <= before, f"left behind: {sorted(temp_listing(arch) - before)}")


PLANTED = ["user32", "shell32", "advapi32", "wininet", "comctl32", "version", "uxtheme", "dwmapi", "cryptbase",
           "shlwapi", "ole32", "secur32", "iertutil", "urlmon", "winmm", "userenv", "sspicli", "propsys"]


def planted_loads(log, folders):
    """Lines of Wine's +loaddll log that name a DLL from one of the folders."""
    # Wine writes the paths escaped, with doubled backslashes.
    text = log.decode("utf-8", errors="replace").lower().replace("\\\\", "\\")
    names = [str(folder).lower().replace("/", "\\") + "\\" for folder in folders]
    return [line for line in text.splitlines()
            if "loaded" in line and ".dll" in line and any(n in line for n in names)]


def scenario_dll_planting():
    """DLLs planted beside the launcher and in the current directory, with Wine
    told to prefer such native files, are never loaded, and the job is done."""
    arch = "64"
    downloads = WORK / "Downloads folder"
    current = WORK / "current dir"
    for folder in (downloads, current):
        folder.mkdir()
        for name in PLANTED:
            shutil.copyfile(ARGS.layout32, folder / f"{name}.dll")
    launcher = downloads / "Sparlin.exe"
    shutil.copyfile(ARGS.launcher, launcher)
    shutil.copyfile(ARGS.plant_control, downloads / "Control.exe")
    overrides = ",".join(PLANTED) + "=n,b;mscoree,mshtml="
    windows_folders = [wine(arch, "winepath.exe", "-w", str(f)).stdout.decode().strip() for f in (downloads, current)]
    before = temp_listing(arch)
    report = WORK / "report-planted.txt"
    # The demo lives past the update check's start, which loads WinINet.
    run = wine(arch, str(launcher), cwd=current,
               env={**demo_env(report, sleep_ms=3500), "WINEDLLOVERRIDES": overrides, "WINEDEBUG": "+loaddll"})
    check(run.returncode == 0, f"exit code {run.returncode}")
    loaded = planted_loads(run.stderr, windows_folders)
    check(not loaded, "planted DLLs were loaded:\n" + "\n".join(loaded))
    check("user32" in run.stderr.decode(errors="replace").lower(), "the log shows no DLL loads at all")
    seen = parse_pairs(report.read_text(encoding="utf-8"))
    check(one(seen, "layout_result") == "demolayout x64 1.0", "the application did not run")
    check(temp_listing(arch) <= before, f"temporary files left behind: {sorted(temp_listing(arch) - before)}")
    # The same folder catches a program that loads a library by its bare
    # name: the check above would see a planted DLL being loaded.
    control = wine(arch, str(downloads / "Control.exe"), cwd=current,
                   env={"WINEDLLOVERRIDES": overrides, "WINEDEBUG": "+loaddll"})
    check(planted_loads(control.stderr, windows_folders), "the control program loaded no planted DLL")


SCENARIOS = {name[len("scenario_"):].replace("_", "-"): fn for name, fn in globals().items()
             if name.startswith("scenario_")}


def parse_arguments(scenarios, required=(), optional=(), add_more=None):
    """A scenario's name and the named options; `add_more` may declare others."""
    parser = argparse.ArgumentParser()
    parser.add_argument("scenario", choices=sorted(scenarios))
    for option in required:
        parser.add_argument("--" + option, required=True)
    for option in optional:
        parser.add_argument("--" + option)
    if add_more:
        add_more(parser)
    return parser.parse_args()


def run_scenario(scenarios, arguments):
    """Runs the named scenario; the exit code for the test runner."""
    started = time.monotonic()
    try:
        scenarios[arguments.scenario]()
    except Failure as failure:
        print(f"FAILED {arguments.scenario}: {failure}")
        return 1
    print(f"passed {arguments.scenario} in {time.monotonic() - started:.1f} s")
    return 0


def main():
    global ARGS
    ARGS = parse_arguments(SCENARIOS, optional=(
        "wine-run", "wine-dir", "launcher", "plant-control", "tool-writes-wrong-bytes", "wrong-tool-digest",
        "missing-gui", "tool-writes-nothing", "tool-decodes-then-fails", "box-helper", "unit-tests", "gui32",
        "layout32", "gui64", "layout64"))
    return run_scenario(SCENARIOS, ARGS)


if __name__ == "__main__":
    sys.exit(main())
