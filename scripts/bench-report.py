#!/usr/bin/env python3
"""Writes docs/benchmarks.md from what scripts/bench.sh collected.

    bench-report.py RAW_DIR BUILD_DIR SOURCE_DIR REPETITIONS [PREVIOUS] > benchmarks.md

RAW_DIR holds each Google Benchmark program's JSON (<program>.json), the whole-update
runs as printed (update.txt), the runs of Wine against our layer (wine.txt), <name>.failed
for a program that exited with an error, and the date and load averages. Each figure goes in a row beside its target, pass or fail.
PREVIOUS, the report this one replaces: its sections that no benchmark here writes (such
as the soak's, from make soak) are kept at the end.
"""
import json, os, re, statistics, subprocess, sys

raw, build_dir, root, reps = sys.argv[1], sys.argv[2], sys.argv[3], int(sys.argv[4])
previous = sys.argv[5] if len(sys.argv) > 5 else None


def read(path, default=""):
    try:
        with open(path) as f:
            return f.read().strip()
    except OSError:
        return default


def runs(program):
    """Iteration runs of a program's JSON output, by benchmark name (repetitions in a list)."""
    by_name = {}
    try:
        data = json.load(open(os.path.join(raw, program + ".json")))
    except (OSError, ValueError):
        return {}, {}
    for b in data.get("benchmarks", []):
        if b.get("run_type", "iteration") == "iteration":
            by_name.setdefault(b.get("run_name", b["name"]), []).append(b)
    return by_name, data.get("context", {})


NS = {"ns": 1, "us": 1e3, "ms": 1e6, "s": 1e9}


def time_ns(b):
    # Benchmarks timed by the wall clock report real time; the others CPU time, as the
    # library itself does for its rates.
    key = "real_time" if "/real_time" in b["name"] or "manual_time" in b["name"] else "cpu_time"
    return b[key] * NS[b.get("time_unit", "ns")]


class Figure:
    """Median of the repetitions, with min and max, or the reason there is none."""

    def __init__(self, values, error=None):
        self.values, self.error = values, error
        self.median = statistics.median(values) if values and not error else None

    def text(self, fmt, unit=""):
        if self.median is None:
            return "no figure: " + (self.error or "not measured")
        s = fmt.format(self.median) + unit
        if len(self.values) > 1:
            s += " (" + fmt.format(min(self.values)) + "–" + fmt.format(max(self.values)) + ")"
        return s


def figure(bench, name, value):
    rs = bench.get(name)
    if not rs:
        return Figure([], "benchmark did not run")
    bad = [r for r in rs if r.get("error_occurred")]
    if bad:
        return Figure([], bad[0].get("error_message", "error"))
    return Figure([value(r) for r in rs])


def verdict(fig, ok):
    if fig.median is None:
        return "**FAIL**"
    return "pass" if ok(fig.median) else "**FAIL**"


def reported(fig):
    """A figure asked for without a bound fails only by being missing."""
    return "—" if fig.median is not None else "**FAIL**"


rows = []  # area, measure, figure, target, result


def row(area, measure, fig_text, target, result="—"):
    rows.append((area, measure, fig_text, target, result))


contexts = {}

# Issue 3: the download thread.
b, contexts["download_bench"] = runs("download_bench")
f = figure(b, "BM_WaitStatusIdleCpu/iterations:3/manual_time", lambda r: r["cpu_percent_of_one_core"])
row("Download (#3)", "CPU of the download thread while it waits 2 s for a report",
    f.text("{:.3f}", " % of one core"), "< 1 % of one core", verdict(f, lambda v: v < 1.0))
f = figure(b, "BM_StatusRoundTrip", time_ns)
row("Download (#3)", "`StatusCallback` + `PopStatus` round trip", f.text("{:.0f}", " ns per report"),
    "report the time", reported(f))

# Issue 5: the device-service transport.
b, contexts["transport_bench"] = runs("transport_bench")
for size, target in ((2048, 20), (16384, 80)):
    name = "BM_WriteFlashData/%d/real_time" % size
    f = figure(b, name, lambda r: r["bytes_per_second"] / 1e6)
    t = figure(b, name, lambda r: r.get("timeouts", 0))
    text = f.text("{:.1f}", " MB/s")
    if t.median is not None and max(t.values) > 0:
        text += "; writes that waited out their time-out: %d" % max(t.values)
    row("Transport (#5)", "Write path: `WriteFlashData`, %d KiB blocks, both sinks advised" % (size // 1024),
        text, "≥ %d MB/s" % target, verdict(f, lambda v, t=target: v >= t))
for size in (64, 700):
    name = "BM_ReadPath/%d" % size
    f = figure(b, name, lambda r: r["bytes_per_second"] / 1e6)
    a = figure(b, name, lambda r: r["allocs_per_read"])
    row("Transport (#5)", "Read path: `OnReadData` → `ReadDataFromDevice`, %d-byte chunks" % size,
        f.text("{:.1f}", " MB/s") + ("; " + a.text("{:g}", " heap allocations per read")
                                      if a.median is not None else ""),
        "0 heap allocations per read", verdict(a, lambda v: max(a.values) == 0))

# Issue 6: the port callbacks.
b, contexts["port_bench"] = runs("port_bench")
f = figure(b, "BM_PortRoundTrip2KiB/real_time", lambda r: time_ns(r) / 1e3)
row("Port (#6)", "`PortWrite` of 2 KiB + loader reply through `PortRead`", f.text("{:.1f}", " µs"),
    "report the time", reported(f))

# Issue 8: trace points.
b, contexts["trace_bench"] = runs("trace_bench")
for name, what in (("NotStarted", "tracing not started"),
                   ("StartedNotEnabled", "started, no session enabled"),
                   ("OtherFlags", "session enabled for other flags"),
                   ("LowerLevel", "session enabled at a lower level")):
    f = figure(b, "BM_TracePoint_" + name, time_ns)
    row("Trace (#8)", "Disabled trace point with text arguments: " + what, f.text("{:.2f}", " ns"),
        "< 2 ns, arguments not evaluated", verdict(f, lambda v: v < 2.0))
f = figure(b, "BM_TracePoint_EnabledWritingToSession", time_ns)
row("Trace (#8)", "Enabled trace point writing to a session (every message reaches the log)",
    f.text("{:.0f}", " ns per message"), "report the time", reported(f))

# Issue 7: whole updates through brelk-sim (update-bench.sh, one run each).
update_text = read(os.path.join(raw, "update.txt"))
pattern = re.compile(
    r"^\s*(?P<mib>\d+) MiB \(items of (?P<item>\d+) MiB\) at scale\s+(?P<scale>\d+): "
    r"wall\s+(?P<wall>[\d.]+) s, fixed pauses\s+(?P<pauses>[\d.]+) s \(\s*(?P<share>[\d.]+)%\), "
    r"loader got (?P<got>\d+) MiB \((?P<rate>[\d.]+) MiB/s\), peak RSS (?P<rss>-?\d+) KiB, "
    r"state (?P<state>\S*), modem (?P<modem>\S*)")
updates = [m.groupdict() for m in map(pattern.match, update_text.splitlines()) if m]


def update(mib, item):
    return next((u for u in updates if int(u["mib"]) == mib and int(u["item"]) == item), None)


def completed(u):
    return u["modem"] == "2.0.0" and int(u["got"]) >= int(u["mib"])


BUDGET_S = 180  # the driver's download budget, in platform seconds


def outcome(u):
    if completed(u):
        return "update completed"
    text = "update did not complete: loader got %s of %s MiB, state %s, modem %s" % (
        u["got"], u["mib"], u["state"], u["modem"] or "?")
    budget = BUDGET_S / int(u["scale"])
    if float(u["wall"]) >= budget:
        # The scale shortens the budget but not the data path's real cost.
        text += (" — at time scale %s the %d s download budget is %.1f s of real time; the data"
                 " path would need about %.0f MiB/s" % (u["scale"], BUDGET_S, budget, int(u["mib"]) / budget))
    return text


for item in (64, 8):
    u = update(64, item)
    measure = "`brelk-sim update`, 64 MiB image (items of %d MiB), modem without delay, time scale 100" % item
    if not u:
        row("Update (#7)", measure, "no figure: update-bench.sh did not report it",
            "report the time and the pauses' share", "**FAIL**")
        continue
    row("Update (#7)", measure,
        "%.2f s wall, fixed pauses %.2f s = %.1f %% of it; %s MiB/s to the loader; %s"
        % (float(u["wall"]), float(u["pauses"]), float(u["share"]), u["rate"], outcome(u)),
        "report the time and the pauses' share; the update completes",
        "pass" if completed(u) else "**FAIL**")

link_pattern = re.compile(
    r"^link 100 MB at scale\s+(?P<scale>\d+): update\s+(?P<update>[\d.]+) s, floor\s+(?P<floor>[\d.]+) s, "
    r"ratio (?P<ratio>[\d.]+), wall\s+(?P<wall>[\d.]+) s, (?P<writes>\d+) transfers, (?P<bytes>\d+) bytes, "
    r"state (?P<state>\S*), modem (?P<modem>[^,\s]*)(?:, load (?P<load>[\d.]+))?")
link_runs = {}
for m in map(link_pattern.match, update_text.splitlines()):
    if m:
        link_runs.setdefault(int(m["scale"]), []).append(m.groupdict())
# The run of median ratio stands for its scale; the others are named beside it.
links = {scale: sorted(rs, key=lambda u: float(u["ratio"]))[(len(rs) - 1) // 2]
         for scale, rs in link_runs.items()}
for scale in (100, 10, 1):
    measure = ("`brelk-sim update`, 100 MB image over a 4.3 MB/s link (0.125 ms turnaround per"
               " transfer), time scale %d: update time against its floor (fixed pauses 19.1 s"
               " plus the link time)" % scale)
    u = links.get(scale)
    if not u:
        row("Link (#13)", measure, "no figure: update-bench.sh did not report it",
            "within 5 % of the floor", "**FAIL**")
        continue
    done = u["modem"] == "2.0.0" and u["state"] == "3"
    text = "%.2f s against %.2f s: ratio %.3f (%+.1f %%); %s transfers; %.2f s wall; %s" % (
        float(u["update"]), float(u["floor"]), float(u["ratio"]), 100 * (float(u["ratio"]) - 1),
        u["writes"], float(u["wall"]),
        "update completed" if done else "update did not complete (state %s, modem %s)" % (
            u["state"], u["modem"] or "?"))
    if u.get("load"):
        text += "; load %s" % u["load"]
    if len(link_runs[scale]) > 1:
        text += "; median of %d runs (ratios %s; loads %s)" % (
            len(link_runs[scale]), ", ".join("%.3f" % float(r["ratio"]) for r in link_runs[scale]),
            ", ".join(r.get("load") or "?" for r in link_runs[scale]))
    row("Link (#13)", measure, text, "within 5 % of the floor (ratio <= 1.05)",
        "pass" if done and float(u["ratio"]) <= 1.05 else "**FAIL**")

small, large = update(16, 8), update(256, 32)
for u, mib in ((small, 16), (large, 256)):
    measure = "Peak resident memory of the host, %d MiB image (time scale 2)" % mib
    if not u:
        row("Update (#7)", measure, "no figure: update-bench.sh did not report it",
            "does not grow with the image", "**FAIL**")
        continue
    text = "%.1f MiB; %s" % (int(u["rss"]) / 1024, outcome(u))
    if u is large and small:
        growth = (int(large["rss"]) - int(small["rss"])) / 1024
        text += "; %+.1f MiB against the 16 MiB image" % growth
        # Streaming keeps the peak flat; holding one item or the image would add at least
        # the 24 MiB between the two runs' item sizes.
        ok = completed(large) and completed(small) and growth < 4
        row("Update (#7)", measure, text,
            "does not grow with the image (growth < 4 MiB for 16x the image)",
            "pass" if ok else "**FAIL**")
    else:
        row("Update (#7)", measure, text, "baseline for the 256 MiB run")

# Issue 15: Wine against our layer (bench/wine/wine-bench.sh): the same work on each,
# interleaved in one run.
wine_text = read(os.path.join(raw, "wine.txt")).replace("\r", "")
KV = re.compile(r'([\w-]+)=("[^"]*"|\S*)')


def fields(line, kind):
    if not line.startswith(kind + " "):
        return None
    return {k: v.strip('"') for k, v in KV.findall(line)}


wine_lines = wine_text.splitlines()
wine_reason = next((f["not-measured"] for f in (fields(l, "wine-bench") for l in wine_lines)
                    if f and "not-measured" in f), None)
if wine_reason is None and not wine_text:
    wine_reason = "wine-bench.sh did not run" + (" (it exited with an error)"
                                                  if os.path.exists(os.path.join(raw, "wine.failed")) else "")
writes = [f for f in (fields(l, "write_path") for l in wine_lines) if f]
updates_wine = [f for f in (fields(l, "update") for l in wine_lines) if f]


def load_range(lines):
    loads = sorted(float(l["load"]) for l in lines if l.get("load"))
    if not loads:
        return "?"
    return "%.2f" % loads[0] if loads[0] == loads[-1] else "%.2f to %.2f" % (loads[0], loads[-1])


def ratio_text(wine, layer):
    if wine.median is None or layer.median is None or layer.median == 0:
        return "no ratio"
    return "%.2f" % (wine.median / layer.median)


for size in (2048, 16384):
    measure = ("Write path under Wine against our layer: `WriteFlashData`, %d KiB blocks, both sinks"
               " advised (`write_path_bench`, one source built for both)" % (size // 1024))
    target = "report both rates and the ratio (Wine / layer)"
    if wine_reason:
        row("Wine (#15)", measure, "not measured: " + wine_reason, target, "not measured")
        continue
    figs, notes = {}, []
    for system in ("layer", "wine"):
        rs = [w for w in writes if w.get("system") == system and w.get("block") == str(size)]
        errors = [w["error"] for w in rs if "error" in w]
        ok = [w for w in rs if "mbps" in w]
        figs[system] = Figure([float(w["mbps"]) for w in ok],
                              errors[0] if errors else (None if ok else "not measured"))
        timeouts = sum(int(w.get("timeouts", 0)) for w in ok)
        if timeouts:
            notes.append("%s writes that waited out their time-out: %d" % (system, timeouts))
    layer, wine = figs["layer"], figs["wine"]
    rounds = len({w.get("round") for w in writes if w.get("block") == str(size)})
    round_starts = [f for f in (fields(l, "write-path") for l in wine_lines) if f]
    budget = max((float(w["seconds"]) for w in writes if "seconds" in w), default=0)
    text = ("our layer %s; Wine %s; Wine / layer %s (of the medians); %d and %d repetitions of %.1f s,"
            " in %d rounds of layer then Wine; load %s" % (
                layer.text("{:.1f}", " MB/s"), wine.text("{:.1f}", " MB/s"), ratio_text(wine, layer),
                len(layer.values), len(wine.values), budget, rounds, load_range(round_starts)))
    if notes:
        text += "; " + "; ".join(notes)
    row("Wine (#15)", measure, text, target,
        "—" if layer.median is not None and wine.median is not None else "**FAIL**")

for scale in sorted({int(u["scale"]) for u in updates_wine}, reverse=True) or [100, 10]:
    us = [u for u in updates_wine if int(u["scale"]) == scale]
    mib = us[0]["mib"] if us else "4"
    measure = ("`brelk-sim update` against `brelk-sim update --wine`: %s MiB image (two items),"
               " modem 1.0.0 to 2.0.0, time scale %d, each on a fresh machine" % (mib, scale))
    target = "report both times and the ratio (Wine / layer)"
    if wine_reason or not us:
        row("Wine (#15)", measure, "not measured: " + (wine_reason or "wine-bench.sh did not report it"),
            target, "not measured")
        continue
    by = {s: [u for u in us if u["system"] == s] for s in ("layer", "wine")}
    wall = {s: Figure([float(u["wall"]) for u in by[s]]) for s in by}
    run_ms = {s: Figure([float(u["run_ms"]) for u in by[s] if u.get("run_ms")]) for s in by}
    pairs = []
    for u in by["wine"]:
        other = next((l for l in by["layer"] if l["run"] == u["run"]), None)
        if other and float(other["wall"]) > 0:
            pairs.append(float(u["wall"]) / float(other["wall"]))
    # Real time outside the driver's load-to-unload: the process's start and end, and under
    # Wine the start of Wine itself.
    outside = {s: Figure([float(u["wall"]) - float(u["run_ms"]) / 1000 / scale
                          for u in by[s] if u.get("run_ms")]) for s in by}
    done = {s: sum(1 for u in by[s] if u["modem"] == "2.0.0" and u["state"] == "3") for s in by}
    text = ("wall: our layer %s, Wine %s, Wine / layer %s (of the medians; each pair %s); platform time"
            " (`run_ms`): our layer %s, Wine %s, Wine / layer %s; wall outside the driver's run"
            " (wall − run_ms / scale): our layer %s, Wine %s; updates completed: %d of %d on our"
            " layer, %d of %d under Wine; load %s" % (
                wall["layer"].text("{:.2f}", " s"), wall["wine"].text("{:.2f}", " s"),
                ratio_text(wall["wine"], wall["layer"]),
                ", ".join("%.2f" % p for p in pairs) or "none",
                run_ms["layer"].text("{:.0f}", " ms"), run_ms["wine"].text("{:.0f}", " ms"),
                ratio_text(run_ms["wine"], run_ms["layer"]),
                outside["layer"].text("{:.2f}", " s"), outside["wine"].text("{:.2f}", " s"),
                done["layer"], len(by["layer"]), done["wine"], len(by["wine"]), load_range(us)))
    row("Wine (#15)", measure, text, target,
        "—" if wall["layer"].median is not None and wall["wine"].median is not None else "**FAIL**")

starts = [f for f in (fields(l, "wine-start") for l in wine_lines) if f]
measure = "Wine's start in a fresh prefix (copied from the template): a PE program that exits at once"
if wine_reason or not starts:
    row("Wine (#15)", measure, "not measured: " + (wine_reason or "wine-bench.sh did not report it"),
        "report the time", "not measured")
else:
    f = Figure([float(w["wall"]) for w in starts])
    row("Wine (#15)", measure, "%s wall; load %s" % (f.text("{:.2f}", " s"), load_range(starts)),
        "report the time", reported(f))

# The machine.
cpuinfo = read("/proc/cpuinfo")
model = next((l.split(":", 1)[1].strip() for l in cpuinfo.splitlines() if l.startswith("model name")), "?")
meminfo = read("/proc/meminfo")
mem_kb = next((int(l.split()[1]) for l in meminfo.splitlines() if l.startswith("MemTotal:")), 0)
cache = read(os.path.join(build_dir, "CMakeCache.txt"))


def cache_value(key):
    m = re.search(r"^%s:[A-Z]+=(.*)$" % re.escape(key), cache, re.M)
    return m.group(1) if m else "?"


compiler = cache_value("CMAKE_CXX_COMPILER")
try:
    compiler_version = subprocess.run([compiler, "--version"], capture_output=True, text=True).stdout.splitlines()[0]
except (OSError, IndexError):
    compiler_version = compiler
try:
    commit = subprocess.run(["git", "-C", root, "rev-parse", "--short", "HEAD"], capture_output=True,
                            text=True).stdout.strip() or "?"
    dirty = subprocess.run(["git", "-C", root, "status", "--porcelain", "--untracked-files=no"],
                           capture_output=True, text=True).stdout.strip()
except OSError:
    commit, dirty = "?", ""
loads = ["%s %s" % (p, " ".join("%.2f" % x for x in c["load_avg"]))
         for p, c in contexts.items() if c.get("load_avg")]
scaling = any(c.get("cpu_scaling_enabled") for c in contexts.values())
library_build = next((c["library_build_type"] for c in contexts.values() if "library_build_type" in c), "?")
failed = [f[:-len(".failed")] for f in sorted(os.listdir(raw)) if f.endswith(".failed")]

print("# Benchmarks")
print()
print("Written by `make bench` (`scripts/bench.sh`). Google Benchmark figures are the median of %d"
      " repetitions, the range in brackets; the whole-update figures (`bench/update/update-bench.sh`)"
      " are one run each; the Wine rows (`bench/wine/wine-bench.sh`) give the median of the runs"
      " they name, the range in brackets, and the ratio of two medians. Times are CPU time per"
      " iteration, except for benchmarks timed by the wall clock (`/real_time`, `/manual_time`); on a loaded machine the wall time of the others is"
      " longer. MB = 10⁶ bytes, MiB = 2²⁰ bytes. A target of \"report the time\" is a"
      " figure the issue asks for without a bound." % reps)
print()
print("| Area (issue) | Measure | Figure | Target | Result |")
print("|---|---|---|---|---|")
for r in rows:
    print("| " + " | ".join(c.replace("|", "\\|") for c in r) + " |")
print()
print("## Machine")
print()
print("- Date: %s" % read(os.path.join(raw, "date")))
print("- CPU: %s; %d logical cores%s" % (
    model, sum(1 for l in cpuinfo.splitlines() if l.startswith("processor")),
    "; frequency scaling enabled" if scaling else ""))
print("- Memory: %.1f GiB" % (mem_kb / 1048576))
print("- Kernel: %s %s" % (os.uname().sysname, os.uname().release))
print("- Compiler: %s" % compiler_version)
print("- Build: `%s`, CMAKE_BUILD_TYPE=%s, commit %s%s" % (
    os.path.relpath(build_dir, root) if build_dir.startswith(root) else build_dir,
    cache_value("CMAKE_BUILD_TYPE"), commit, " with uncommitted changes in the tree" if dirty else ""))
print("- Google Benchmark library: reports itself built as %s" % library_build)
wine_loads = [f["load"] for f in (fields(l, "wine-bench") for l in wine_lines) if f and "load" in f]
if wine_loads:
    loads.append("wine-bench.sh %s (1 min; %s at its end)" % (wine_loads[0], wine_loads[-1]))
print("- Load average (1, 5, 15 min): %s before, %s after; at each program's start: %s" % (
    read(os.path.join(raw, "load-before")), read(os.path.join(raw, "load-after")), "; ".join(loads) or "?"))
if failed:
    print("- Exited with an error: %s" % ", ".join(failed))
print()
print("## Whole-update runs as printed")
print()
print("```")
print(update_text or "(no output)")
print("```")

print()
print("## Wine against our layer: runs as printed")
print()
print("`bench/wine/wine-bench.sh`: `write_path_bench` from `%s` and its PE build under Wine, in"
      " rounds; then pairs of whole updates in alternating order, each on a fresh machine. Not"
      " counted in an update's wall time: the copy of the Wine prefix from its template (hard"
      " links) before it, and the end of the prefix's wineserver after it; counted: Wine's start"
      " and its wineserver's, which every update under Wine pays. `run_ms` is the host's platform"
      " time from the driver's load to its unload." % (
          os.path.relpath(build_dir, root) if build_dir.startswith(root) else build_dir))
print()
print("```")
print(wine_text or "(no output)")
print("```")

# Sections of the report this one replaces that nothing above writes.
written = {"## Machine", "## Whole-update runs as printed", "## Wine against our layer: runs as printed"}
kept, keep = [], False
for line in read(previous).splitlines() if previous else []:
    if line.startswith("## "):
        keep = line.strip() not in written
    if keep:
        kept.append(line)
if kept:
    print()
    print("\n".join(kept))
