#!/usr/bin/env python3
"""End-to-end runs of the update check under Wine.

The launchers under test ask 127.0.0.1 for updates. Each scenario starts the
reference nginx (server/run-nginx.sh) or a scripted server on 127.0.0.1:80,
runs a launcher in one of the test prefixes and looks at what the server saw
(its access log or its own records), at the message boxes (BoxHelper), at what
reached the browser (a recording script that Wine's winebrowser starts) and at
the launcher's exit, timing and memory.
"""
import contextlib
import hashlib
import http.client
import os
import re
import socket
import struct
import subprocess
import sys
import threading
import time
import urllib.parse
from pathlib import Path

sys.path.insert(0, str(Path(__file__).resolve().parent))
import launch  # noqa: E402
from launch import Failure, check, demo_env, one, parse_pairs  # noqa: E402

ARGS = None
WORK = launch.WORK
HOST, PORT = "127.0.0.1", 80
CAPTION = "KOVA Sparlin"
QUESTION = "New version is available! Would you like to download it?"
REFUSAL = "Sorry, but CPUs without SSE2 are not supported!"
OWN_VERSION = "1.2.35.0"
# Long enough for the check (it starts 2 s after the launcher) to finish
# while the application still runs, which ends the launcher.
APP_MS = 3000
WINDOWS_NT_KEY = r"HKLM\Software\Microsoft\Windows NT\CurrentVersion"


def wine(arch, *command, **options):
    return launch.wine(arch, *command, **options)


def deadline_loop(seconds, step=0.05):
    """Yields until the time is up, sleeping `step` between rounds."""
    end = time.monotonic() + seconds
    while True:
        yield
        if time.monotonic() >= end:
            return
        time.sleep(step)


# --- servers ----------------------------------------------------------------

def port_in_use():
    with socket.socket() as probe:
        probe.settimeout(0.5)
        return probe.connect_ex((HOST, PORT)) == 0


def wait_port_free(seconds=10):
    for _ in deadline_loop(seconds, 0.1):
        if not port_in_use():
            return
    raise Failure(f"something else listens on {HOST}:{PORT}; the update tests need it")


class Nginx:
    """The reference server, run in the foreground by its own script."""

    def __init__(self, name, latest=OWN_VERSION, download_url=None):
        self.dir = WORK / f"nginx-{name}"
        self.latest = self.dir / "latest.txt"
        self.dir.mkdir(parents=True, exist_ok=True)
        self.set_answer(latest)
        self.download_url = download_url
        self.process = None

    def set_answer(self, body):
        """What /update.php answers from now on; None removes the file."""
        if body is None:
            self.latest.unlink(missing_ok=True)
            return
        temporary = self.latest.with_suffix(".new")
        temporary.write_bytes(body.encode("latin-1") if isinstance(body, str) else body)
        os.replace(temporary, self.latest)

    def __enter__(self):
        wait_port_free()
        command = ["bash", ARGS.run_nginx, "run", str(self.dir), "--latest", str(self.latest), "--lifetime", "240"]
        if self.download_url:
            command += ["--download-url", self.download_url]
        self.output = open(self.dir / "run.log", "wb")
        self.process = subprocess.Popen(command, stdin=subprocess.DEVNULL, stdout=self.output, stderr=self.output)
        for _ in deadline_loop(10):
            if self.process.poll() is not None:
                break
            if port_in_use():
                return self
        log = (self.dir / "run.log").read_text(errors="replace")
        self.__exit__(None, None, None)
        raise Failure(f"nginx did not start: {log.strip()}")

    def __exit__(self, *exc):
        try:
            subprocess.run(["bash", ARGS.run_nginx, "stop", str(self.dir)], timeout=15,
                           stdin=subprocess.DEVNULL, capture_output=True)
        finally:
            try:
                self.process.wait(timeout=5)
            except subprocess.TimeoutExpired:
                self.process.kill()
                self.process.wait(timeout=5)
            self.output.close()

    LINE = re.compile(r'^(\d+\.\d+) (\S+) (\S+) "(.*)" (\d{3}) (\d+) "(.*)"$')

    def requests(self):
        try:
            text = (self.dir / "access.log").read_text(encoding="latin-1")
        except FileNotFoundError:
            return []
        entries = []
        for line in text.splitlines():
            match = self.LINE.match(line)
            check(match, f"access log line not in the expected format: {line!r}")
            entries.append({"time": float(match[1]), "address": match[2], "method": match[3], "uri": match[4],
                            "status": int(match[5]), "bytes": int(match[6]), "agent": match[7]})
        return entries

    def wait_requests(self, count, seconds=15):
        for _ in deadline_loop(seconds):
            seen = self.requests()
            if len(seen) >= count:
                return seen
        raise Failure(f"expected {count} request(s) within {seconds} s, the server saw {self.requests()}")


class Stop(Exception):
    pass


class Connection:
    """One accepted connection of the scripted server, as its handler sees it."""

    def __init__(self, server, sock, record):
        self.server, self.sock, self.record = server, sock, record

    def send(self, data):
        view = memoryview(data)
        while view:
            self.server.check_running()
            try:
                sent = self.sock.send(view)
            except socket.timeout:
                continue
            self.record["sent"] += sent
            view = view[sent:]

    def idle(self, seconds):
        """Waits without answering; ends early when the server stops or the client leaves."""
        for _ in deadline_loop(seconds, 0.05):
            self.server.check_running()
            try:
                if self.sock.recv(4096, socket.MSG_PEEK | socket.MSG_DONTWAIT) == b"":
                    raise ConnectionResetError("client closed")
            except (BlockingIOError, socket.timeout):
                pass

    def reset(self):
        """Ends the connection abruptly, with a TCP reset."""
        self.sock.setsockopt(socket.SOL_SOCKET, socket.SO_LINGER, struct.pack("ii", 1, 0))
        self.record["ended"] = "server-reset"


class ScriptedServer:
    """A bounded HTTP server on 127.0.0.1:80 whose answer is one function."""

    def __init__(self, handler, lifetime=60):
        self.handler = handler
        self.deadline = time.monotonic() + lifetime
        self.stopping = threading.Event()
        self.records = []
        self.threads = []

    def check_running(self):
        if self.stopping.is_set() or time.monotonic() > self.deadline:
            raise Stop()

    def __enter__(self):
        wait_port_free()
        self.listener = socket.socket()
        self.listener.setsockopt(socket.SOL_SOCKET, socket.SO_REUSEADDR, 1)
        self.listener.bind((HOST, PORT))
        self.listener.listen(16)
        self.listener.settimeout(0.1)
        self.acceptor = threading.Thread(target=self._accept, daemon=True)
        self.acceptor.start()
        return self

    def __exit__(self, *exc):
        self.stopping.set()
        self.acceptor.join(timeout=5)
        for thread in self.threads:
            thread.join(timeout=5)
        self.listener.close()

    def _accept(self):
        while True:
            try:
                self.check_running()
            except Stop:
                return
            try:
                sock, _ = self.listener.accept()
            except socket.timeout:
                continue
            record = {"accepted": time.time(), "sent": 0, "ended": None}
            self.records.append(record)
            thread = threading.Thread(target=self._serve, args=(sock, record), daemon=True)
            self.threads.append(thread)
            thread.start()

    def _serve(self, sock, record):
        sock.settimeout(0.1)
        connection = Connection(self, sock, record)
        try:
            head = b""
            while b"\r\n\r\n" not in head and len(head) < 65536:
                self.check_running()
                try:
                    chunk = sock.recv(4096)
                except socket.timeout:
                    continue
                if not chunk:
                    raise ConnectionResetError("client closed before asking")
                head += chunk
            lines = head.split(b"\r\n\r\n", 1)[0].decode("latin-1").split("\r\n")
            method, uri, _ = (lines[0].split(" ") + ["", ""])[:3]
            headers = dict(line.split(": ", 1) for line in lines[1:] if ": " in line)
            record.update(time=time.time(), method=method, uri=uri, agent=headers.get("User-Agent"))
            self.handler(connection)
            record["ended"] = record["ended"] or "server"
        except (BrokenPipeError, ConnectionResetError):
            record["ended"] = "client"
            record["ended_at"] = time.time()
        except Stop:
            record["ended"] = "server-stopped"
        finally:
            sock.close()

    def requests(self):
        return [r for r in list(self.records) if "uri" in r]

    def wait_requests(self, count, seconds=15):
        for _ in deadline_loop(seconds):
            if len(self.requests()) >= count:
                return self.requests()
        raise Failure(f"expected {count} request(s) within {seconds} s, the server saw {self.requests()}")


def http_head(length=None):
    lines = ["HTTP/1.1 200 OK", "Content-Type: text/plain", "Connection: close"]
    if length is not None:
        lines.append(f"Content-Length: {length}")
    return ("\r\n".join(lines) + "\r\n\r\n").encode()


# --- what the launcher should send --------------------------------------------

def probe(arch):
    result = wine(arch, ARGS.uid_probe)
    check(result.returncode == 0, f"UidProbe failed in prefix {arch}: {result.stderr!r}")
    seen = parse_pairs(result.stdout.decode("utf-8"))
    check(re.fullmatch(r"[0-9A-F]{16}", one(seen, "processor")), f"processor text {one(seen, 'processor')}")
    return seen


def expected_uid(seen):
    product_id = one(seen, "product_id") if one(seen, "product_id_state") == "present" else ""
    text = f"{one(seen, 'processor')}/{product_id or '(null)'}"
    return hashlib.sha1(text.encode("ascii")).hexdigest().upper()


def expected_uri(arch, seen):
    bits = "64" if arch == "64" else "32"
    return f"/update.php?uid={expected_uid(seen)}&app={OWN_VERSION}&os={one(seen, 'os')}&bits={bits}"


def check_request(request, arch, seen):
    check(request["method"] == "GET", f"method {request['method']}")
    check(request["agent"] == "Sparlin", f"user agent {request['agent']!r}")
    uid = re.search(r"uid=([^&]*)", request["uri"])
    check(uid and re.fullmatch(r"[0-9A-F]{40}", uid[1]), f"uid is not 40 upper-case hex digits: {request['uri']}")
    check(request["uri"] == expected_uri(arch, seen),
          f"request {request['uri']!r}, expected {expected_uri(arch, seen)!r} (probe: {seen})")


# --- the launcher, its boxes and the browser -----------------------------------

class Launcher:
    """One launcher run in the background, with its peak memory sampled."""

    counter = 0

    def __init__(self, arch, exe, args=(), app_ms=APP_MS):
        Launcher.counter += 1
        self.arch = arch
        self.report = WORK / f"report-{Launcher.counter}.txt"
        self.started = time.time()
        self.process = wine(arch, exe, *args, background=True, env=demo_env(self.report, sleep_ms=app_ms))
        self.peak_kib = 0
        self.sampler = threading.Thread(target=self._sample, daemon=True)
        self.sampler.start()

    def _sample(self):
        # The Wine loader execs the program in place: this pid is the launcher.
        status = Path(f"/proc/{self.process.pid}/status")
        while self.process.poll() is None:
            try:
                match = re.search(r"^VmHWM:\s+(\d+) kB", status.read_text(), re.M)
            except (FileNotFoundError, ProcessLookupError):
                break
            if match:
                self.peak_kib = max(self.peak_kib, int(match[1]))
            time.sleep(0.05)

    def running(self):
        return self.process.poll() is None

    def wait(self, seconds=30):
        try:
            code = self.process.wait(timeout=seconds)
        except subprocess.TimeoutExpired:
            self.process.kill()
            self.process.wait(timeout=10)
            raise Failure(f"the launcher was still running after {seconds} s")
        self.ended = time.time()
        self.sampler.join(timeout=5)
        return code

    def kill(self):
        if self.running():
            self.process.kill()
            self.process.wait(timeout=10)

    def app_report(self):
        check(self.report.exists(), "the application never reported")
        return parse_pairs(self.report.read_text(encoding="utf-8"))


@contextlib.contextmanager
def killed_on_error(*runs):
    """Ends the background programs when a check fails before they end by themselves."""
    try:
        yield
    except BaseException:
        for run in runs:
            run.kill()
        raise


def box(arch, press, timeout_ms=15000):
    """Finds the launcher's box, reads it and presses `press` (blocking)."""
    watch = BoxWatch(arch, press, timeout_ms)
    try:
        # Twice the timeout: one for finding the box, one for its closing.
        code = watch.process.wait(timeout=2 * timeout_ms / 1000 + 10)
    except subprocess.TimeoutExpired:
        watch.kill()
        raise Failure("BoxHelper did not end")
    seen = parse_pairs(watch.out.read_text(encoding="utf-8")) if watch.out.exists() else {}
    return code, seen


def check_question(seen):
    check(one(seen, "text") == QUESTION, f"box text {one(seen, 'text')!r}, expected the question")
    check(one(seen, "buttons") == "Yes,No", f"question buttons {one(seen, 'buttons')}")
    check(one(seen, "icon") == "yes", "question without an icon")


def answer_question(arch, answer):
    """Answers the box of a normal start ("none": only reads it), which must
    be the question."""
    code, seen = box(arch, answer)
    check(code == 0, f"no question: {seen}")
    check_question(seen)


class BoxWatch:
    """BoxHelper in the background, answering whatever box comes up. Its
    output goes to a file: the first window of a session starts Wine's
    desktop process, which would hold an output pipe open as long as the
    launcher's box keeps the desktop in use."""

    counter = 0

    def __init__(self, arch, press, timeout_ms=20000):
        BoxWatch.counter += 1
        self.out = WORK / f"box-{BoxWatch.counter}.txt"
        self.process = wine(arch, ARGS.box_helper, "--caption", CAPTION, "--press", press, "--timeout-ms",
                            str(timeout_ms), "--out", str(self.out), background=True)

    def result(self, grace=0.6):
        """The box seen, or None. Called once the launcher has ended: a box it
        showed was answered before that, and BoxHelper then ends at once."""
        try:
            code = self.process.wait(timeout=grace)
        except subprocess.TimeoutExpired:
            self.process.kill()
            self.process.wait(timeout=10)
            return None
        seen = parse_pairs(self.out.read_text(encoding="utf-8")) if self.out.exists() else {}
        check(code == 0, f"BoxHelper ended with {code}: {seen}")
        return seen

    def kill(self):
        if self.process.poll() is None:
            self.process.kill()
            self.process.wait(timeout=10)


class BrowserRecorder:
    """Points Wine's winebrowser at a script that only writes down its arguments."""

    def __init__(self, arch):
        self.arch = arch
        self.log = WORK / f"browser-{arch}.log"
        self.script = WORK / f"browser-{arch}.sh"
        self.script.write_text("#!/bin/sh\n"
                               f"{{ printf 'call argc=%s\\n' \"$#\"; for a in \"$@\"; do printf 'arg=%s\\n' \"$a\"; "
                               f"done; }} >>'{self.log}'\n")
        self.script.chmod(0o755)

    def __enter__(self):
        query = wine(self.arch, "reg", "query", r"HKCU\Software\Wine\WineBrowser", "/v", "Browsers")
        match = re.search(r"Browsers\s+REG_SZ\s+(.*)", query.stdout.decode(errors="replace"))
        self.previous = match[1].strip() if match else None
        self._set(str(self.script))
        self.log.unlink(missing_ok=True)
        return self

    def __exit__(self, *exc):
        if self.previous is None:
            wine(self.arch, "reg", "delete", r"HKCU\Software\Wine\WineBrowser", "/v", "Browsers", "/f")
        else:
            self._set(self.previous)

    def _set(self, value):
        result = wine(self.arch, "reg", "add", r"HKCU\Software\Wine\WineBrowser", "/v", "Browsers", "/d", value, "/f")
        check(result.returncode == 0, f"could not set the browser: {result.stderr!r}")

    def calls(self):
        if not self.log.exists():
            return []
        calls = []
        for line in self.log.read_text().splitlines():
            if line.startswith("call "):
                calls.append([])
            elif line.startswith("arg="):
                calls[-1].append(line[4:])
        return calls

    def wait_call(self, seconds=10):
        for _ in deadline_loop(seconds):
            if self.calls():
                return self.calls()
        raise Failure("the browser was never started")


def start_refused(arch, args=(), exe=None):
    """The refusing launcher, past its message: returns it and when OK was pressed."""
    launcher = Launcher(arch, exe or ARGS.refused, args)
    with killed_on_error(launcher):
        asked = time.time()
        code, seen = box(arch, "OK")
        check(code == 0, f"no refusal message: {seen}")
        check(one(seen, "text") == REFUSAL, f"refusal text {one(seen, 'text')!r}")
    return launcher, (asked, time.time())


def check_refusal_delay(request, acknowledged, label="the request"):
    """About 500 ms between OK and the request. OK was pressed at some moment
    while BoxHelper ran, so each bound is taken from the safe end."""
    asked, answered = acknowledged
    check(request["time"] - asked >= 0.5, f"{label} came {request['time'] - answered:.2f} s after the refusal")
    check(request["time"] - answered < 1.5,
          f"{label} came {request['time'] - answered:.2f} s after the refusal, expected ~0.5 s")


def check_normal_end(launcher, app_ms=APP_MS):
    """The launcher ended with the application, as if there were no check."""
    code = launcher.wait(app_ms / 1000 + 20)
    check(code == 0, f"launcher exit code {code}")
    seen = launcher.app_report()
    check(one(seen, "layout_result").startswith("demolayout "), "the application did not load its library")
    lifetime = launcher.ended - launcher.started
    check(app_ms / 1000 <= lifetime < app_ms / 1000 + 4,
          f"the launcher took {lifetime:.1f} s for an application that ran {app_ms / 1000:.1f} s")
    return seen


# --- scenarios -------------------------------------------------------------------

def request_in(arch):
    expected = probe(arch)
    with Nginx(f"request-{arch}") as server:
        launcher = Launcher(arch, ARGS.local, ["/lang", "en"])
        watch = BoxWatch(arch, "No")
        with killed_on_error(launcher, watch):
            request = server.wait_requests(1)[0]
            check_normal_end(launcher)
        check(watch.result() is None, "a box came up for an answer that is not newer")
        check(len(server.requests()) == 1, f"more than one request: {server.requests()}")
    check_request(request, arch, expected)
    check(request["status"] == 200, f"status {request['status']}")
    delay = request["time"] - launcher.started
    check(2.0 <= delay < 3.5, f"the request came {delay:.2f} s after the start, expected a little over 2 s")


def scenario_request_64():
    request_in("64")


def scenario_request_32():
    request_in("32")


def scenario_uid_registry():
    """The product ID comes from the 64-bit registry view, and only as REG_SZ."""
    arch = "64"
    original = probe(arch)
    check(one(original, "product_id_state") == "present", f"the prefix has no ProductId: {original}")
    view32 = lambda: wine(arch, "reg", "query", WINDOWS_NT_KEY, "/v", "ProductId", "/reg:32").stdout.decode()
    # A prefix set up without its 32-bit side (where no 32-bit code runs)
    # has no second view to tell apart.
    has_view32 = one(original, "product_id") in view32()

    def change(operation, *options):
        result = wine(arch, "reg", operation, WINDOWS_NT_KEY, "/v", "ProductId", *options, "/f", "/reg:64")
        check(result.returncode == 0, f"reg {operation} {options} failed: {result.stderr!r}")

    cases = [
        ("a 64-bit-only ProductId", ("add", "/t", "REG_SZ", "/d", "E2E-64-VIEW-77"), "E2E-64-VIEW-77"),
        ("a ProductId of type REG_EXPAND_SZ", ("add", "/t", "REG_EXPAND_SZ", "/d", "E2E-EXPAND"), None),
        ("no ProductId", ("delete",), None),
    ]
    try:
        with Nginx("uid") as server:
            for label, command, product_id in cases:
                change(*command)
                seen = probe(arch)
                check(seen.get("product_id") == ([product_id] if product_id else None), f"setting up {label}: {seen}")
                check(not has_view32 or one(original, "product_id") in view32(), "the 32-bit view changed as well")
                launcher, _ = start_refused(arch)
                code = launcher.wait()
                check(code == 0, f"exit code {code}")
                request = server.requests()[-1]
                check(request["uri"] == expected_uri(arch, seen),
                      f"with {label}: {request['uri']}, expected {expected_uri(arch, seen)}")
            check(len(server.requests()) == len(cases), f"requests: {server.requests()}")
    finally:
        change("add", "/t", "REG_SZ", "/d", one(original, "product_id"))
    check(probe(arch) == original, "the prefix's ProductId was not restored")


NO_QUESTION = [
    ("1.2.35.0", OWN_VERSION + "\n"),
    ("1.2.35", "1.2.35"),
    ("1.2.35.0.0", "1.2.35.0.0\n"),
    ("1.2.34.99", "1.2.34.99\n"),
    ("empty", ""),
    ("CR LF after the own version", "1.2.35.0\r\n"),
    ("a newer version after a zero byte", "1.2.35\x001.2.36\n"),
]
QUESTION_ANSWERS = [
    ("1.2.35.1", "1.2.35.1\n"),
    ("1.2.36", "1.2.36"),
    ("1.3", "1.3\n"),
    ("2", "2\n"),
    ("1.2.35.0.1", "1.2.35.0.1\n"),
    ("words around it", "version 1.2.36\n"),
    ("second line", "0.9\n1.2.36.0\n"),
    ("CR LF lines", "0.9\r\n1.2.36\r\n"),
    ("an oversized component", "1.2.12884901895\n"),
    ("nginx's 404 page", None),
]


def scenario_answers():
    """Which answers raise the question; the refusing launcher waits for each check."""
    arch = "64"
    with Nginx("answers") as server, BrowserRecorder(arch) as browser:
        cases = [(label, body, False) for label, body in NO_QUESTION] + \
                [(label, body, True) for label, body in QUESTION_ANSWERS]
        results = []
        for label, body, newer in cases:
            server.set_answer(body)
            launcher, acknowledged = start_refused(arch)
            watch = BoxWatch(arch, "No")
            with killed_on_error(launcher, watch):
                code = launcher.wait()
            question = watch.result()
            request = server.requests()[-1]
            check(len(server.requests()) == len(results) + 1, f"{label}: requests {server.requests()}")
            check(request["status"] == (404 if body is None else 200), f"{label}: status {request['status']}")
            check(code == 0, f"{label}: exit code {code}")
            if question:
                check_question(question)
            results.append((label, newer, question is not None))
            check_refusal_delay(request, acknowledged, label)
        check(browser.calls() == [], f"the browser was started after No: {browser.calls()}")
    wrong = [f"{label} ({'no question' if newer else 'a question'} expected)"
             for label, newer, asked in results if newer != asked]
    check(not wrong, "wrong outcome for: " + ", ".join(wrong))


def scenario_yes():
    """Yes on a normal start sends the browser to the download page."""
    download = "https://downloads.example.com/sparlin/setup.exe"

    def leads_to_download(calls):
        # The address the browser got leads to the download, as the server is set up.
        connection = http.client.HTTPConnection(HOST, PORT, timeout=5)
        connection.request("GET", urllib.parse.urlsplit(calls[0][0]).path)
        answer = connection.getresponse()
        check(answer.status == 302 and answer.getheader("Location") == download,
              f"/download.php answered {answer.status} {answer.getheader('Location')}")
        connection.close()

    yes_opens(ARGS.local, "http://127.0.0.1/download.php", download_url=download, then=leads_to_download)


def scenario_no():
    """No on a normal start: nothing else happens."""
    arch = "64"
    with Nginx("no", latest="1.2.36\n"), BrowserRecorder(arch) as browser:
        launcher = Launcher(arch, ARGS.local)
        with killed_on_error(launcher):
            answer_question(arch, "No")
            check_normal_end(launcher)
        check(browser.calls() == [], f"the browser was started after No: {browser.calls()}")


def scenario_question_left_open():
    """Nobody answers: the launcher still ends with the application, and the box with it."""
    arch = "64"
    with Nginx("left-open", latest="1.2.36\n"):
        launcher = Launcher(arch, ARGS.local)
        with killed_on_error(launcher):
            answer_question(arch, "none")
            check_normal_end(launcher)
    code, seen = box(arch, "none", timeout_ms=300)
    check(code == 2, f"the question outlived the launcher: {seen}")


def scenario_hide_switches():
    """-hide and /hide suppress the check; other spellings do not."""
    arch = "64"
    groups = [
        ([["/hide"], ["-hide"], ["/lang", "en", "-hide"]], 0),
        ([["/HIDE"], ["hide"], ["--hide"]], 3),
    ]
    with Nginx("hide") as server:
        for argument_lists, requests in groups:
            before = len(server.requests())
            launchers = [Launcher(arch, ARGS.local, args) for args in argument_lists]
            with killed_on_error(*launchers):
                if requests:
                    server.wait_requests(before + requests)
                for launcher in launchers:
                    check_normal_end(launcher)
            sent = len(server.requests()) - before
            check(sent == requests, f"{argument_lists}: {sent} request(s), expected {requests}")


def scenario_unreachable():
    """Nothing listens on port 80: no box, nothing changes for the user."""
    arch = "64"
    wait_port_free()
    launcher = Launcher(arch, ARGS.local)
    watch = BoxWatch(arch, "No")
    with killed_on_error(launcher, watch):
        check_normal_end(launcher)
    check(watch.result() is None, "a box came up without a server")
    # The refusing launcher waits for the check, which fails quickly and silently.
    launcher, acknowledged = start_refused(arch)
    watch = BoxWatch(arch, "No")
    with killed_on_error(launcher, watch):
        code = launcher.wait(30)
    check(code == 0, f"exit code {code}")
    check(watch.result() is None, "a box came up without a server")
    took = launcher.ended - acknowledged[1]
    check(took < 5, f"the refusing launcher took {took:.1f} s to give up on a closed port")


def scenario_refused():
    """After a refusal: the check runs 0.5 s later, whatever the command line, and is waited for."""
    # On 32-bit Windows where there is one: a refusal is most likely there.
    arch = "32" if "32" in ARGS.prefixes.split(",") else "64"
    expected = probe(arch)
    with Nginx("refused", latest="1.2.36\n") as server, BrowserRecorder(arch) as browser:
        launcher, acknowledged = start_refused(arch, ["/hide"])
        with killed_on_error(launcher):
            code, seen = box(arch, "none")
            check(code == 0, f"no question after the refusal: {seen}")
            check_question(seen)
            time.sleep(1.0)  # the question stays up: the launcher must still be waiting
            check(launcher.running(), "the launcher ended while its question was on the screen")
            code, seen = box(arch, "Yes")
            check(code == 0, f"could not answer: {seen}")
            calls = browser.wait_call()
            code = launcher.wait(15)
        check(code == 0, f"exit code {code}")
        check(calls == [["http://localhost/download.php"]], f"browser calls {calls}")
        requests = server.requests()
        check(len(requests) == 1, f"requests: {requests}")
        check_request(requests[0], arch, expected)
        check_refusal_delay(requests[0], acknowledged)
        check(not launcher.report.exists(), "the application ran after a refusal")


def run_against(handler, expect_question, app_ms=APP_MS):
    """A normal start against a scripted server; returns the launcher and the server's records."""
    arch = "64"
    with ScriptedServer(handler) as server:
        launcher = Launcher(arch, ARGS.local, app_ms=app_ms)
        watch = BoxWatch(arch, "No")
        with killed_on_error(launcher, watch):
            server.wait_requests(1)
            check_normal_end(launcher, app_ms)
        question = watch.result()
        records = server.requests()
    check(len(records) == 1, f"requests: {records}")
    check(records[0]["agent"] == "Sparlin", f"user agent {records[0]['agent']!r}")
    if expect_question:
        check(question is not None, "no question")
        check_question(question)
    else:
        check(question is None, f"a box came up: {question}")
    return launcher, records[0]


FILLER = b"0.9 filler line, no version to see here\n"
HUGE = 64 << 20


def filled(size):
    return (FILLER * (size // len(FILLER) + 1))[:size]


def scenario_answer_limit():
    """Only the first 64 KiB of an answer count."""
    def just_past(connection):
        # Reading 16 bytes at a time, Wine needs about a second for 64 KiB;
        # a reader without the limit would be through all of this in time.
        body = filled(64 << 10) + b"1.2.36\n" * 1000
        connection.send(http_head(len(body)) + body)

    run_against(just_past, False, app_ms=5000)


def scenario_large_answers():
    """Huge and endless answers: the launcher and the application go on, and memory stays flat."""
    def small(connection):
        body = b"1.2.35.0\n"
        connection.send(http_head(len(body)) + body)

    def late(connection):
        # Filler up to 64 KiB, then nothing but newer versions.
        connection.send(http_head(HUGE))
        connection.send(filled(64 << 10))
        block = b"1.2.36\n" * (1 << 17)
        for offset in range(64 << 10, HUGE, len(block)):
            connection.send(block[:HUGE - offset])

    def early(connection):
        connection.send(http_head(7 + HUGE) + b"1.2.36\n")
        block = filled(1 << 20)
        for _ in range(0, HUGE, len(block)):
            connection.send(block)

    def endless(connection):
        connection.send(http_head())
        block = filled(1 << 20)
        while True:
            connection.send(block)

    baseline, _ = run_against(small, False)
    growth = {}
    for name, handler, question in (("late", late, False), ("early", early, True), ("endless", endless, False)):
        launcher, record = run_against(handler, question, app_ms=5000 if name == "endless" else APP_MS)
        growth[name] = launcher.peak_kib - baseline.peak_kib
        # Wine's WinINet reads what is left of an answer of known length
        # when the request is closed early, and throws it away; an answer of
        # unknown length is simply hung up on, right after its 64 KiB.
        if name == "endless":
            check(record["ended"] == "client" and record["ended_at"] < launcher.ended - 0.5,
                  f"endless: the launcher did not hang up before it ended: {record}")
    print(f"peak working set: baseline {baseline.peak_kib} KiB, growth {growth} KiB")
    check(baseline.peak_kib > 0, "no memory figure for the launcher")
    check(all(kib < 16 << 10 for kib in growth.values()), f"memory grew with the answer: {growth} KiB")


def scenario_cut_off_answer():
    """An endless trickle that the server cuts off: what came before the cut counts."""
    def trickle_then_reset(connection):
        connection.send(http_head(1 << 30) + b"1.2.36\n")
        for _ in range(20):
            connection.send(FILLER)
            connection.idle(0.05)
        connection.reset()

    # The question comes about 3 s after the start: keep the application longer.
    _, record = run_against(trickle_then_reset, True, app_ms=5000)
    check(record["ended"] == "server-reset", f"the server did not cut the answer: {record}")


def scenario_silent_server():
    """A server that accepts and never answers: the user sees nothing, the launcher ends with the application."""
    def silent(connection):
        connection.idle(60)

    launcher, record = run_against(silent, False)
    check(record["sent"] == 0, f"the silent server sent {record['sent']} bytes")


# --- hardening: bounded check, bindings that fail, the download page ---------

TIME_LIMIT = 5.0  # SPARLIN_UPDATE_TIME_LIMIT_MS of the bounded launcher


def scenario_trickle_after_refusal():
    """After a refusal the main thread waits for the check; a server that
    trickles a byte a second, each well within WinINet's own per-wait limits,
    holds it no longer than the check's total limit, and nothing is asked."""
    arch = "64"

    def trickle(connection):
        connection.send(http_head(1 << 30) + b"1.2.36\n")
        while True:
            connection.idle(1.0)
            connection.send(b"0")

    with ScriptedServer(trickle, lifetime=TIME_LIMIT + 35) as server:
        launcher, acknowledged = start_refused(arch, exe=ARGS.bounded)
        watch = BoxWatch(arch, "No", timeout_ms=int((TIME_LIMIT + 20) * 1000))
        with killed_on_error(launcher, watch):
            request = server.wait_requests(1)[0]
            code = launcher.wait(TIME_LIMIT + 20)
        question = watch.result()
        held = launcher.ended - request["time"]
        print(f"the trickling server held the refusing launcher {held:.1f} s after its request "
              f"(limit {TIME_LIMIT:.0f} s); it sent {request['sent']} bytes")
        check(code == 0, f"exit code {code}")
        check(question is None, f"an answer cut off by the limit raised a box: {question}")
        check(TIME_LIMIT - 0.5 <= held < TIME_LIMIT + 3,
              f"the launcher ended {held:.1f} s after its request, expected about {TIME_LIMIT:.0f} s")
        check(request["sent"] > len(http_head(1 << 30)) + 3, f"the server got to send only {request['sent']} bytes")
        check(not launcher.report.exists(), "the application ran after a refusal")


def scenario_unbound_update_thread():
    """WinINet's send cannot be bound: the update thread fails silently, the
    application runs its full time and the launcher exits 0 after clean-up."""
    arch = "64"
    before = launch.temp_listing(arch)
    with Nginx("unbound", latest="1.2.36\n") as server:
        launcher = Launcher(arch, ARGS.unbound_wininet)
        watch = BoxWatch(arch, "No")
        with killed_on_error(launcher, watch):
            # The application outlives the check's start (2 s), so the
            # failing call is made while it runs.
            check_normal_end(launcher)
        check(watch.result() is None, "a box came up")
        check(server.requests() == [], f"a request went out without HttpSendRequestW: {server.requests()}")
    check(launch.temp_listing(arch) <= before, "temporary files left behind")


def yes_opens(exe, page, download_url=None, then=None):
    """Yes on a normal start of `exe` sends the browser to `page`; `then`
    looks at the browser's calls while the server still runs."""
    arch = "64"
    options = {"download_url": download_url} if download_url else {}
    with Nginx("yes-page", latest="1.2.36\n", **options) as server, BrowserRecorder(arch) as browser:
        launcher = Launcher(arch, exe, app_ms=4000)
        with killed_on_error(launcher):
            answer_question(arch, "Yes")
            calls = browser.wait_call()
            check_normal_end(launcher, 4000)
        check(calls == [[page]], f"browser calls {calls}, expected {page}")
        check(len(server.requests()) == 1, f"requests: {server.requests()}")
        if then:
            then(calls)


def scenario_yes_https():
    """A download host given with https:// is opened with that scheme."""
    yes_opens(ARGS.https_download, "https://127.0.0.1:8443/download.php")


def scenario_shell_fails():
    """The desktop shell cannot be asked (COM cannot be bound). Elevated, as
    Wine runs every start, Yes opens no page: the browser would get the
    administrator token. Not elevated, the launcher opens it itself."""
    arch = "64"
    with Nginx("shell-fails", latest="1.2.36\n") as server, BrowserRecorder(arch) as browser:
        launcher = Launcher(arch, ARGS.no_com)
        with killed_on_error(launcher):
            answer_question(arch, "Yes")
            check_normal_end(launcher)
        check(browser.calls() == [], f"an elevated launcher opened the page itself: {browser.calls()}")
        check(len(server.requests()) == 1, f"requests: {server.requests()}")
    yes_opens(ARGS.no_com_unelevated, "http://127.0.0.1/download.php")


def scenario_shell_never_answers():
    """After a refusal and Yes, a desktop shell that never answers holds the
    launcher no longer than the page limit (3 s in this build) and a little
    grace; it still ends with 0."""
    arch = "64"
    limit, grace = 3.0, 2.0
    with Nginx("shell-hangs", latest="1.2.36\n"), BrowserRecorder(arch) as browser:
        launcher, _ = start_refused(arch, exe=ARGS.shell_hangs)
        with killed_on_error(launcher):
            code, seen = box(arch, "Yes")
            check(code == 0, f"no question after the refusal: {seen}")
            answered = time.time()
            code = launcher.wait(limit + grace + 15)
        held = launcher.ended - answered
        print(f"the launcher ended {held:.1f} s after Yes (page limit {limit:.0f} s + {grace:.0f} s grace)")
        check(code == 0, f"exit code {code}")
        check(limit <= held < limit + grace + 3, f"the launcher ended {held:.1f} s after Yes")
        check(browser.calls() == [], f"browser calls {browser.calls()}")


SCENARIOS = {name[len("scenario_"):].replace("_", "-"): fn for name, fn in globals().items()
             if name.startswith("scenario_")}


def main():
    global ARGS
    ARGS = launch.ARGS = launch.parse_arguments(
        SCENARIOS, required=("wine-run", "wine-dir", "local", "refused", "box-helper", "uid-probe", "run-nginx"),
        optional=("bounded", "unbound-wininet", "https-download", "no-com", "no-com-unelevated", "shell-hangs"),
        # The prefixes this build's programs can run in here.
        add_more=lambda parser: parser.add_argument("--prefixes", default="64,32"))
    return launch.run_scenario(SCENARIOS, ARGS)


if __name__ == "__main__":
    sys.exit(main())
