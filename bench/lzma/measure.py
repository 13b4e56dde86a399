#!/usr/bin/env python3
"""Times our LZMA tool against xz and 7-Zip on one corpus, for one architecture.

Each round runs every tool over the whole corpus, in an order that rotates
from round to round, so that the tools share the machine's slow and fast
moments; a tool's time in a round is the sum of its processes' wall times.
Ratios are medians of the per-round ratios ours/peer of wall time; the
ratios of total CPU time (user + system), which a busy machine disturbs
less, follow in parentheses. Peak memory is the largest resident set of any
one process (KiB), from a pass of its own under GNU time.

usage: measure.py ARCH WORKDIR ENC_ROUNDS DEC_ROUNDS NAME:PROGRAM... -- FILE...
Each NAME:PROGRAM pair names the tool and its encoder and decoder programs, for example
  ours:/path/lzma    xz:/path/xz    7zz:/path/7zz    [base:/path/old/lzma]
"""
import os
import statistics
import subprocess
import sys
import threading
import time

# "base" is an optional older build of our tool, measured in the same rounds.
OURS = ("ours", "base")
TIMEOUT = 300  # one process; a hung tool must not stall the benchmark
RSS_FILE = None  # set from the work directory
CPU = {}  # program -> CPU seconds (user + system) so far
MEASURE_RSS = False


def run(argv, stdin=None, stdout=None, env=None):
    """Runs one process; returns (wall seconds, peak RSS KiB or 0)."""
    fin = open(stdin, "rb") if stdin else subprocess.DEVNULL
    fout = open(stdout, "wb") if stdout else subprocess.DEVNULL
    try:
        # Peak memory comes from GNU time, in passes of its own: a child's own
        # rusage carries this interpreter's size from before the exec, and
        # the extra process would weigh on the timed runs.
        cmd = ["/usr/bin/time", "-f", "%M", "-o", RSS_FILE] + argv if MEASURE_RSS else argv
        t0 = time.perf_counter()
        p = subprocess.Popen(cmd, stdin=fin, stdout=fout, stderr=subprocess.PIPE, env=env)
        timer = threading.Timer(TIMEOUT, p.kill)
        timer.start()
        _, status, ru = os.wait4(p.pid, 0)
        t1 = time.perf_counter()
        if not timer.is_alive():
            raise SystemExit(f"bench: {argv[0]} ran past {TIMEOUT} s")
        timer.cancel()
        err = p.stderr.read().decode(errors="replace")
        p.stderr.close()
        p.returncode = os.waitstatus_to_exitcode(status)
        if p.returncode != 0:
            raise SystemExit(f"bench: {' '.join(argv)} failed ({p.returncode}): {err.strip()}")
        rss = 0
        if MEASURE_RSS:
            with open(RSS_FILE) as r:
                rss = int(r.read().split()[-1])
            os.remove(RSS_FILE)
        CPU[argv[0]] = CPU.get(argv[0], 0.0) + ru.ru_utime + ru.ru_stime
        return t1 - t0, rss
    finally:
        for f in (fin, fout):
            if f is not subprocess.DEVNULL:
                f.close()


def fresh(path):
    """Removes a previous output before the clock starts. Truncating it costs
    the kernel time (and ext4 starts its write-back at the close); for the
    peers this interpreter would pay that, untimed, but our tool opens its
    output itself."""
    if os.path.exists(path):
        os.remove(path)


class Tool:
    def __init__(self, name, exe, env):
        self.name, self.exe, self.env = name, exe, env

    def encode(self, src, dst):
        fresh(dst)
        if self.name in OURS:
            return run([self.exe, "e", src, dst], env=self.env)
        if self.name == "xz":
            return run([self.exe, "--format=lzma", "-6", "-c", src], stdout=dst, env=self.env)
        # 7-Zip writes no bare .lzma stream, so it encodes the same LZMA
        # (8 MiB dictionary, one thread) into a .7z container.
        return run([self.exe, "a", "-bd", "-t7z", "-m0=LZMA:d=8m", "-mx=6", "-mmt=1", dst, src], env=self.env)

    def decode(self, src, dst):
        fresh(dst)
        if self.name in OURS:
            return run([self.exe, "d", src, dst], env=self.env)
        if self.name == "xz":
            return run([self.exe, "--format=lzma", "-dc", src], stdout=dst, env=self.env)
        return run([self.exe, "e", "-so", "-bd", src], stdout=dst, env=self.env)


def rounds(tools, n, job):
    """job(tool) -> (seconds, rss). Returns {name: [seconds per round]}, {name: peak rss}, {name: CPU seconds}."""
    times = {t.name: [] for t in tools}
    rss = {t.name: 0 for t in tools}
    cpu = {t.name: 0.0 for t in tools}
    global MEASURE_RSS
    MEASURE_RSS = True
    for t in tools:
        rss[t.name] = job(t)[1]
    MEASURE_RSS = False
    for r in range(n):
        k = r % len(tools)
        for t in tools[k:] + tools[:k]:
            before = CPU.get(t.exe, 0.0)
            times[t.name].append(job(t)[0])
            cpu[t.name] += CPU.get(t.exe, 0.0) - before
    return times, rss, cpu


def main():
    arch, work, enc_rounds, dec_rounds = sys.argv[1], sys.argv[2], int(sys.argv[3]), int(sys.argv[4])
    sep = sys.argv.index("--")
    files = sys.argv[sep + 1:]
    tools = []
    for pair in sys.argv[5:sep]:
        name, exe = pair.split(":", 1)
        env = dict(os.environ)
        if name not in OURS and os.environ.get("PEER_LD_LIBRARY_PATH"):
            env["LD_LIBRARY_PATH"] = os.environ["PEER_LD_LIBRARY_PATH"]
        tools.append(Tool(name, exe, env))
    out = os.path.join(work, "out-" + arch)
    global RSS_FILE
    RSS_FILE = os.path.join(work, "rss")
    os.makedirs(out, exist_ok=True)

    # Sizes and the shared decoder input: each file as xz -6 made it.
    xz = next(t for t in tools if t.name == "xz")
    ours = next(t for t in tools if t.name == "ours")
    size_in = size_ours = size_xz = 0
    streams = []
    for i, f in enumerate(files):
        a, b = os.path.join(out, f"{i}.ours.lzma"), os.path.join(out, f"{i}.xz.lzma")
        ours.encode(f, a)
        xz.encode(f, b)
        size_in += os.path.getsize(f)
        size_ours += os.path.getsize(a)
        size_xz += os.path.getsize(b)
        streams.append((f, a, b))
        # Both directions of interoperability, so the times are of correct work.
        for src, dec in ((a, xz), (b, ours)):
            dst = os.path.join(out, "check")
            dec.decode(src, dst)
            with open(dst, "rb") as x, open(f, "rb") as y:
                if x.read() != y.read():
                    raise SystemExit(f"bench: {dec.name} decoded {src} wrongly")

    def enc_job(t):
        s = m = 0
        for i, (f, _, _) in enumerate(streams):
            dst = os.path.join(out, f"enc-{t.name}")
            e, r = t.encode(f, dst)
            s, m = s + e, max(m, r)
        return s, m

    def dec_job(t):
        s = m = 0
        for f, _, b in streams:
            e, r = t.decode(b, os.path.join(out, f"dec-{t.name}"))
            s, m = s + e, max(m, r)
        return s, m

    dec_t, dec_rss, dec_cpu = rounds(tools, dec_rounds, dec_job)
    enc_t, enc_rss, enc_cpu = rounds(tools, enc_rounds, enc_job)

    def ratio(times, peer, who="ours"):
        return statistics.median(a / b for a, b in zip(times[who], times[peer]))

    print(f"[{arch}] corpus {len(files)} files, {size_in} bytes; {dec_rounds} decode and {enc_rounds} encode rounds")
    print(f"  size ours/xz-6: {size_ours / size_xz:.4f} ({size_ours} / {size_xz} bytes)")
    print("  median seconds per round:  " + "  ".join(
        f"{t.name} dec {statistics.median(dec_t[t.name]):.3f} enc {statistics.median(enc_t[t.name]):.3f}" for t in tools))
    print("  peak RSS KiB (decode / encode): " + "  ".join(
        f"{t.name} {dec_rss[t.name]} / {enc_rss[t.name]}" for t in tools))
    for who in (w for w in OURS if w in dec_t):
        for t in tools:
            if t.name not in OURS:
                print(f"  {who} vs {t.name:3}: decode {ratio(dec_t, t.name, who):.3f}  encode {ratio(enc_t, t.name, who):.3f}"
                      f"   (CPU time: decode {dec_cpu[who] / dec_cpu[t.name]:.3f}  encode {enc_cpu[who] / enc_cpu[t.name]:.3f})")
    with open(os.path.join(work, f"ratios-{arch}"), "w") as r:
        for t in tools:
            if t.name not in OURS:
                r.write(f"{t.name} {ratio(dec_t, t.name):.4f} {ratio(enc_t, t.name):.4f}\n")
        r.write(f"size {size_ours / size_xz:.4f}\n")


if __name__ == "__main__":
    main()
