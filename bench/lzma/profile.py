#!/usr/bin/env python3
"""Splits the decoder's time, instructions and simulated branch misses into
regions of its symbol loop; see profile.sh, which builds the tools this reads.

usage: profile.py WORKDIR REPEAT DECODER_SOURCE ARCH -- STREAM...
ARCH names the profiling build, WORKDIR/prof-ARCH/lzma.

A sampled or counted address belongs to the region of the outermost source
line of its inline chain that lies in DecodeSymbols; an address whose
innermost function is the range coder's normalisation counts as
normalisation wherever it was inlined. The plain literal's bit step is one
assembly statement: its own normalisation (10 of its 35 instructions) stays
in "literal".
"""
import collections
import os
import re
import subprocess
import sys

REGIONS = ["is-match bit", "literal", "matched literal", "literal store", "rep", "match", "copy",
           "normalisation", "loop and other", "outside the symbol loop", "kernel"]


def anchors(source):
    """Line ranges of the symbol loop's regions, found from its statements."""
    lines = open(source).read().split("\n")

    def find(pattern, start=0):
        for i in range(start, len(lines)):
            if re.search(pattern, lines[i]):
                return i + 1
        raise SystemExit(f"profile: '{pattern}' not found in {source}")

    begin = find(r"^bool StreamDecoder::DecodeSymbols")
    loop = find(r"while \(p < limit", begin)
    lit = find(r"if \(!rc\.Bit\(m\.isMatch", loop)
    plain = find(r"if \(IsLiteralState\(st\)\)", lit)
    matched = find(r"unsigned mb = w\[", plain) - 1
    store = find(r"w\[p\+\+\] = uint8_t\(sym\)", matched)
    rep = find(r"unsigned len;", store)
    match_len = find(r"len = rc\.Len\(m\.matchLen", rep)
    match = max(i + 1 for i in range(rep, match_len) if "} else {" in lines[i])
    copy = find(r"size_t n = len;", match)
    end = find(r"^    range_ = rc\.range;", copy)
    norm = []
    for i, text in enumerate(lines):
        if re.search(r"LZMA_INLINE \w+ (Normalize|NormalizedBound)\(", text):
            norm.append((i + 1, lines.index("    }", i) + 2, "normalisation"))
    return norm, [(loop, lit + 1, "is-match bit"), (lit + 1, plain, "literal"), (plain, matched, "literal"),
            (matched, store, "matched literal"), (store, rep, "literal store"), (rep, match, "rep"),
            (match, copy, "match"), (copy, end, "copy"), (begin, end + 20, "loop and other")]


def line_of(loc, base):
    m = re.match(r"(.*):(\d+)", loc.split(" ")[0])
    return int(m.group(2)) if m and os.path.basename(m.group(1)) == base else -1


def classify(binary, addrs, ranges, source):
    """Maps each address (int) of binary to a region."""
    base = os.path.basename(source)
    out = {}
    addrs = sorted(addrs)
    for i in range(0, len(addrs), 4000):
        chunk = addrs[i:i + 4000]
        text = subprocess.run(["addr2line", "-a", "-i", "-f", "-C", "-e", binary] + [hex(a) for a in chunk],
                              capture_output=True, text=True, check=True).stdout.split("\n")
        k = -1
        frames = collections.defaultdict(list)
        j = 0
        while j < len(text):
            if text[j].startswith("0x"):
                k += 1
                j += 1
                continue
            if j + 1 < len(text) and k >= 0:
                frames[chunk[k]].append((text[j], text[j + 1]))
            j += 2
        for a in chunk:
            chain = frames.get(a, [])
            region = "outside the symbol loop"
            # addr2line names each frame by its caller's name at times: the
            # innermost line and the outermost frame are what can be trusted.
            if chain and "DecodeSymbols" in chain[-1][0]:
                region = "loop and other"
                inner, outer = line_of(chain[0][1], base), line_of(chain[-1][1], base)
                if any(lo <= inner < hi for lo, hi, _ in ranges[0]):
                    region = "normalisation"
                else:
                    for lo, hi, name in ranges[1]:
                        if lo <= outer < hi:
                            region = name
                            break
            out[a] = region
    return out


def stats(tool, streams):
    kinds, copies, total_in = collections.Counter(), collections.Counter(), 0
    for s in streams:
        err = subprocess.run([tool, "d", s, "/dev/null"], capture_output=True, text=True, check=True).stderr
        for line in err.split("\n"):
            f = line.split()
            if line.startswith("stats kind "):
                name = " ".join(f[2:-2])
                kinds[name, "symbols"] += int(f[-2])
                kinds[name, "bytes"] += int(f[-1]) if int(f[-1]) else int(f[-2])
            elif line.startswith("stats copy "):
                copies[" ".join(f[2:-2])] += int(f[-1])
                copies[" ".join(f[2:-2]), "n"] += int(f[-2])
            elif line.startswith("stats input "):
                total_in += int(f[-1])
    return kinds, copies, total_in


def perf_samples(work, tool, streams, repeat):
    data = os.path.join(work, "perf.data")
    period_ns = 100000
    loop = 'for i in $(seq %d); do for f in "$@"; do "%s" d "$f" /dev/null; done; done' % (repeat, tool)
    subprocess.run(["perf", "record", "-q", "-e", "cpu-clock", "-c", str(period_ns), "-o", data, "--",
                    "sh", "-c", loop, "sh"] + streams, check=True, stderr=subprocess.DEVNULL)
    text = subprocess.run(["perf", "script", "-i", data, "-F", "comm,ip,dso"], capture_output=True,
                          text=True, check=True).stdout
    user, kernel, other = collections.Counter(), 0, 0
    for line in text.split("\n"):
        f = line.split()
        if len(f) < 3 or f[0] != "lzma":
            continue
        if "kernel" in f[2]:
            kernel += 1
        elif os.path.realpath(f[2].strip("()")) == os.path.realpath(tool):
            user[int(f[1], 16)] += 1
        else:
            other += 1
    return user, kernel, other, period_ns * 1e-9 / repeat


def callgrind(work, tool, streams):
    """Self cost per instruction address: Ir, Bc, Bcm (valgrind's simulated predictor)."""
    cost = collections.defaultdict(lambda: [0, 0, 0])
    for i, s in enumerate(streams):
        out = os.path.join(work, f"callgrind.{i}")
        subprocess.run(["nice", "-n", "10", "valgrind", "--tool=callgrind", "--branch-sim=yes", "--dump-instr=yes",
                        f"--callgrind-out-file={out}", tool, "d", s, "/dev/null"], check=True,
                       stdout=subprocess.DEVNULL, stderr=subprocess.DEVNULL)
        events, ours, prev, skip = [], False, 0, False
        for line in open(out):
            if line.startswith("events:"):
                events = line.split()[1:]
            elif line.startswith("ob="):
                ours = os.path.basename(tool) in line
            elif line.startswith("calls="):
                skip = True
            elif line[:1] in "0123456789+-*" and line.strip():
                f = line.split()
                p = f[0]
                addr = prev if p == "*" else prev + int(p[1:], 0) * (1 if p[0] == "+" else -1) \
                    if p[0] in "+-" else int(p, 0)
                prev = addr
                if skip:
                    skip = False
                    continue
                if not ours:
                    continue
                vals = dict(zip(events, (int(x) for x in f[2:])))
                c = cost[addr]
                c[0] += vals.get("Ir", 0)
                c[1] += vals.get("Bc", 0)
                c[2] += vals.get("Bcm", 0)
            elif line.startswith(("fn=", "fl=", "fi=", "fe=")):
                pass
        os.remove(out)
    return cost


def main():
    work, repeat, source, arch = sys.argv[1], int(sys.argv[2]), sys.argv[3], sys.argv[4]
    streams = sys.argv[sys.argv.index("--") + 1:]
    tool = os.path.join(work, f"prof-{arch}", "lzma")
    ranges = anchors(source)

    kinds, copies, total_in = stats(os.path.join(work, "stats-x86_64", "lzma"), streams)
    out_bytes = sum(v for (k, what), v in kinds.items() if what == "bytes")
    clock = float(subprocess.run([os.path.join(work, "clock")], capture_output=True, text=True).stdout)
    print(f"[{arch}] streams: {len(streams)}, {out_bytes} bytes out of {total_in} compressed; clock probe {clock:.2f} GHz")
    print("symbols (exact):")
    for k in ("literal", "matched-literal", "short-rep", "rep0", "rep1-3", "match"):
        n, b = kinds[k, "symbols"], kinds[k, "bytes"]
        print(f"  {k:16} {n:9} symbols {b:10} bytes ({100 * b / out_bytes:5.1f} %)")
    print("match copies (exact):")
    for k in sorted(c for c in copies if isinstance(c, str)):
        print(f"  {k:24} {copies[k, 'n']:9} copies {copies[k]:10} bytes")

    user, kernel, other, sec_per_sample = perf_samples(work, tool, streams, repeat)
    where = classify(tool, set(user), ranges, source)
    secs = collections.Counter()
    for a, n in user.items():
        secs[where[a]] += n * sec_per_sample
    secs["kernel"] += kernel * sec_per_sample
    secs["outside the symbol loop"] += other * sec_per_sample
    cost = callgrind(work, tool, streams)
    where.update(classify(tool, set(cost) - set(where), ranges, source))
    ins, bc, bcm = collections.Counter(), collections.Counter(), collections.Counter()
    for a, (i, b, m) in cost.items():
        ins[where[a]] += i
        bc[where[a]] += b
        bcm[where[a]] += m
    total = sum(secs.values())
    print(f"\nper pass over the streams: {total * 1e3:.1f} ms of CPU time (perf cpu-clock samples, {repeat} passes)")
    print(f"  {'region':24} {'time':>6} {'cycles/out byte':>15} {'instr/out byte':>14} {'sim. branch misses/out byte':>27}")
    for r in REGIONS:
        print(f"  {r:24} {100 * secs[r] / total:5.1f}% {secs[r] * clock * 1e9 / out_bytes:15.2f}"
              f" {ins[r] / out_bytes:14.2f} {bcm[r] / out_bytes:27.4f}")
    loop = sum(secs[r] for r in REGIONS[:9])
    print(f"  normalisation outside the literal step: {100 * secs['normalisation'] / loop:.1f} % of the symbol loop")
    print(f"  simulated branch misses: {sum(bcm.values())} of {sum(bc.values())} conditional branches "
          f"({sum(bcm.values()) / max(1, sum(bc.values())) * 100:.1f} %)")

    # Per kind: a kind's own regions, plus the copy shared out by bytes copied.
    lit_b = kinds["literal", "bytes"]
    mlit_b = kinds["matched-literal", "bytes"]
    rep_b = kinds["rep0", "bytes"] + kinds["rep1-3", "bytes"] + kinds["short-rep", "bytes"]
    match_b = kinds["match", "bytes"]
    copy_share = secs["copy"] / max(1, rep_b + match_b)
    common = (secs["is-match bit"] + secs["loop and other"] + secs["normalisation"]) / out_bytes
    print("cycles per output byte of each kind (its regions, copies shared by bytes; is-match bit, loop and"
          " normalisation spread over all bytes):")
    for name, s, b in (("literal", secs["literal"] + secs["literal store"] * lit_b / max(1, lit_b + mlit_b), lit_b),
                       ("matched literal", secs["matched literal"] + secs["literal store"] * mlit_b /
                        max(1, lit_b + mlit_b), mlit_b),
                       ("rep (incl. short rep)", secs["rep"] + copy_share * rep_b, rep_b),
                       ("match", secs["match"] + copy_share * match_b, match_b)):
        print(f"  {name:22} {(s / max(1, b) + common) * clock * 1e9:8.2f}")


if __name__ == "__main__":
    main()
