#!/usr/bin/env python3
"""Turns the benchmark programs' JSON output into report.md and a plot of each figure's ratio against its
baseline from the same run.

usage: report.py RESULTS_DIR [BUILD_TYPE]
Reads startup.json, calls.json, vmlist.json and (when present) e2e.json from RESULTS_DIR; writes report.md
and plot.png there (plot.svg when gnuplot is not installed).
"""
import json
import os
import re
import shutil
import statistics
import subprocess
import sys

UNIT = {"ns": 1e-9, "us": 1e-6, "ms": 1e-3, "s": 1.0}


def load(path):
    with open(path) as f:
        return json.load(f)


def families(doc):
    """Iteration runs grouped by family ("Call/Disconnect"): a list of (seconds, counters) per family."""
    out = {}
    for run in doc["benchmarks"]:
        if run.get("run_type") != "iteration" or run.get("error_occurred"):
            continue
        family = "/".join(run["run_name"].split("/")[:2])
        seconds = run["real_time"] * UNIT[run["time_unit"]]
        out.setdefault(family, []).append((seconds, run))
    return out


class Figure:
    def __init__(self, label, short, bridge, baseline, unit, spread=False, resolution=0.0):
        self.label, self.short, self.unit = label, short, unit
        self.bridge, self.baseline = bridge, baseline  # lists of values
        self.spread = spread
        self.resolution = resolution  # a baseline at or below this is measurement noise, not a size

    @property
    def ratio(self):
        """None when the baseline measured nothing (a ratio against zero or noise says nothing)."""
        base = statistics.median(self.baseline)
        return statistics.median(self.bridge) / base if base > self.resolution else None

    def ratio_text(self):
        return "**%.2f×**" % self.ratio if self.ratio is not None else "n/a: the baseline stays within memory already resident"

    def cell(self, values):
        text = "%s %s" % (fmt(statistics.median(values)), self.unit)
        if self.spread and len(values) > 1:
            text += " (%s–%s, sd %s)" % (fmt(min(values)), fmt(max(values)), fmt(statistics.stdev(values)))
        return text


def fmt(value):
    if value == 0:
        return "0"
    if abs(value) >= 100:
        return "%.0f" % value
    if abs(value) >= 10:
        return "%.1f" % value
    return "%.3g" % value


def counter(runs, name, scale=1.0):
    return [run[name] * scale for _, run in runs if name in run]


def threaded(doc, threads):
    """The iteration runs of VmList/Threads/<threads>."""
    return [(run["real_time"] * UNIT[run["time_unit"]], run) for run in doc["benchmarks"]
            if run.get("run_type") == "iteration" and not run.get("error_occurred")
            and run["run_name"].startswith("VmList/Threads/%d/" % threads)]


def e2e_figures(e2e, vmlist):
    """The goals of the end-to-end VM list, each as a Figure against its baseline from the same run, with
    the goal's bound and whether a lower or a higher ratio is better."""
    ctx = e2e["context"]
    samples = [x for x in e2e["samples"] if x["ok"]]
    pages, k, vms = ctx["pages"], max(1, ctx["concurrency"]), ctx["vms"]
    minimal = ctx.get("minimal_pages", pages)
    size = ctx.get("page_size", 128)

    def pick(side, latency, key):
        return [x[key] for x in samples if x["side"] == side and x["latency_ms"] == latency]

    goals = []
    bridge0, curl0 = pick("bridge", 0, "wall_s"), pick("curl", 0, "wall_s")
    if bridge0 and curl0:
        goals.append((Figure("G1. %s VMs end to end: bridge wall time vs curl walking the same query in the minimal "
                             "%d pages of %d (total / %d) over one connection (no added latency)"
                             % (format(vms, ","), minimal, size, size),
                             "G1. list vs curl\\n(wall)", bridge0, curl0, "s", spread=True), 1.3, "<="))
        goals.append((Figure("G1b. The same: bridge CPU time vs the bound of 1.0 s", "G1b. bridge CPU\\nvs 1.0 s",
                             pick("bridge", 0, "cpu_s"), [1.0], "s", spread=True), 1.0, "<="))
        goals.append((Figure("G1c. The same: bridge CPU time vs curl's CPU time (for scale, no bound)", "G1c. CPU\\nvs curl",
                             pick("bridge", 0, "cpu_s"), pick("curl", 0, "cpu_s"), "s", spread=True), None, ""))
    process, python = pick("bridge-process", 0, "cpu_s"), pick("python", 0, "cpu_s")
    if process and python:
        goals.append((Figure("G7. CPU of a whole client process (Initialize, Connect, the %s-VM list, Disconnect) vs "
                             "the Python walker (requests, lxml) over the same query in the minimal pages; user + system "
                             "of each process, alternating runs" % format(vms, ","), "G7. list process CPU\\nvs Python",
                             process, python, "s", spread=True), 0.5, "<="))
    if bridge0:
        shares = [x["sys_s"] / x["cpu_s"] for x in samples
                  if x["side"] == "bridge" and x["latency_ms"] == 0 and x.get("cpu_s", 0) > 0 and "sys_s" in x]
        if shares:
            goals.append((Figure("G8. System time's share of the walk's CPU (the list call in the bridge's process) vs "
                                 "the bound of 15 %", "G8. system share\\nvs 15 pct", [100 * v for v in shares], [15.0],
                                 "%", spread=True), 1.0, "<="))
    for side, label, short in (("command", "with the AOT images of the wrapper and the framework", "AOT"),
                               ("command-wrapper-aot", "with the wrapper's AOT image alone", "wrapper AOT"),
                               ("command-jit", "without any AOT image of ours", "JIT")):
        cpu, wall = pick(side, 0, "cpu_s"), pick(side, 0, "wall_s")
        if not cpu:
            continue
        goals.append((Figure("G9. One tool command (`find-vm`, running simulator), %s: CPU of the process vs the "
                             "bound of 0.15 s" % label, "G9. command CPU\\n%s vs 0.15 s" % short, cpu, [0.15], "s",
                             spread=True), 1.0 if side == "command" else None, "<=" if side == "command" else ""))
        goals.append((Figure("G9. The same (%s): wall time vs the bound of 0.25 s (quiet machine)" % short,
                             "G9. command wall\\n%s vs 0.25 s" % short, wall, [0.25], "s", spread=True),
                      1.0 if side == "command" else None, "<=" if side == "command" else ""))
    aot, jit = pick("command", 0, "cpu_s"), pick("command-jit", 0, "cpu_s")
    if aot and jit:
        goals.append((Figure("G9. The same: CPU with every AOT image vs without any of ours, alternating runs",
                             "G9. command CPU\\nAOT vs JIT", aot, jit, "s", spread=True), None, ""))
    for latency in sorted({x["latency_ms"] for x in samples if x["latency_ms"] > 0}):
        walls = pick("bridge", latency, "wall_s")
        if walls:
            bound = minimal * latency / 1000.0 / k
            goals.append((Figure("G2. The same with %d ms per request: bridge wall time vs minimal pages x latency / "
                                 "queryConcurrency = %d x %d ms / %d" % (latency, minimal, latency, k),
                                 "G2. %d ms latency\\nvs pages x lat / K" % latency, walls, [bound], "s",
                                 spread=True), 1.15, "<="))
            parallel = pick("curl-parallel", latency, "wall_s")
            if parallel:
                goals.append((Figure("G2'. For scale: curl with %d transfers at once over the minimal pages, %d ms "
                                     "per request, vs the same baseline (the simulator's own time per request)"
                                     % (k, latency), "G2'. curl x%d %d ms\\nvs pages x lat / K" % (k, latency),
                                     parallel, [bound], "s"), None, ""))
    goals.append((Figure("G3a. Requests of the walk's overlapping windows vs the minimal pages",
                         "G3a. requests\\nvs minimal", [pages], [minimal], "requests"), 1.03, "<="))
    curl_bytes = pick("curl", 0, "bytes")
    if ctx.get("walked_bytes", 0) > 0 and curl_bytes:
        goals.append((Figure("G3b. Bytes of the walk's windows (read by curl once) vs the minimal pages",
                             "G3b. bytes\\nvs minimal", [ctx["walked_bytes"] / 1e6],
                             [statistics.median(curl_bytes) / 1e6], "MB"), 1.03, "<="))
    peaks = pick("bridge", 0, "peak_MiB")
    if peaks:
        floor = [v + r for v, r in zip(pick("bridge", 0, "vector_MiB"), pick("bridge", 0, "rss_before_MiB"))]
        goals.append((Figure("G4. Peak resident memory of the end-to-end call vs the returned vector's storage plus "
                             "the resident size before the call", "G4. peak memory\\nvs vector + RSS",
                             peaks, floor, "MiB", spread=True), 1.1, "<="))
    one, two = threaded(vmlist, 1), threaded(vmlist, 2)
    if one and two:
        goals.append((Figure("G5. Two threads listing %s VMs each from the test double at once vs one thread: "
                             "throughput in VMs/s" % format(int(vmlist["context"].get("vms", "0")), ","),
                             "G5. 2 threads\\nvs 1 (throughput)", counter(two, "vms_per_s"),
                             counter(one, "vms_per_s"), "VMs/s"), 1.7, ">="))
    return goals


# Requests per operation before the session kept resolved organisations (the same operations on the demo
# cloud, counted at the simulator), and the goal for a repeated call.
REQUESTS_BEFORE = {"FindVM(org, vdc, vapp, vm)": 4, "GetVMInfoForVM(org, vdc, vm)": 3, "BackupVM(org, vdc, vapp, vm)": 5}
REQUESTS_BOUND = {"FindVM(org, vdc, vapp, vm)": 2, "GetVMInfoForVM(org, vdc, vm)": 2, "BackupVM(org, vdc, vapp, vm)": 3}


def cpu_model():
    try:
        with open("/proc/cpuinfo") as f:
            for line in f:
                if line.startswith("model name"):
                    return line.split(":", 1)[1].strip()
    except OSError:
        pass
    return "unknown"


def plot_png(figures, memory, out_dir):
    """Left: every figure's ratio. Right: the peak memory of the VM list itself, bridge beside baseline,
    since a baseline that stays within already resident memory has no ratio."""
    data = os.path.join(out_dir, "plot.dat")
    with open(data, "w") as f:
        for i, fig in enumerate(figures):
            f.write('%d %.6g\n' % (i, fig.ratio))
        f.write("\n\n")
        f.write('0 %.6g\n1 %.6g\n' % (statistics.median(memory.bridge), statistics.median(memory.baseline)))
    tics = ", ".join('"%s" %d' % (fig.short, i) for i, fig in enumerate(figures))
    top = max(f.ratio for f in figures)
    script = """
set terminal pngcairo size {width},520 font "sans,10"
set output "{out}"
set multiplot title "Bridge against its bare-runtime baseline, measured in the same run"
set style fill solid 0.85 border -1
set boxwidth 0.6
set grid ytics
set key off
set bmargin 5
set size 0.7,0.93
set origin 0,0
set title "time: bridge / baseline (1 = baseline)"
set xrange [-0.6:{n}-0.4]
set xtics ({tics}) scale 0 font ",8"
{scale}
plot "{data}" index 0 using 1:2 with boxes lc rgb "#4a7ebb", \\
     "" index 0 using 1:2:(sprintf("%.2f×", $2)) with labels offset 0,0.8, \\
     1 with lines dt 2 lc rgb "#c0392b"
unset logscale y
set size 0.3,0.93
set origin 0.7,0
set title "{memtitle}"
set xrange [-0.6:1.6]
set xtics ("bridge" 0, "bare\\nconversion" 1) scale 0
set yrange [0:{memtop}]
set ylabel "MiB"
plot "{data}" index 1 using 1:2 with boxes lc rgb "#7f9f5f", \\
     "" index 1 using 1:2:(sprintf("%.1f", $2)) with labels offset 0,0.8
unset multiplot
""".format(out=os.path.join(out_dir, "plot.png"), n=len(figures), data=data, tics=tics,
           width=max(1100, 150 * len(figures) + 450),
           scale=("set logscale y\nset yrange [0.5:%g]" % (top * 2)) if top > 20 else
                 ("set yrange [0:%g]" % (top * 1.2 + 0.2)),
           memtitle="3b. VM list: peak memory, MiB\\n%s" % (
               "ratio %.2f×" % memory.ratio if memory.ratio is not None else "no ratio: the baseline stays at 0"),
           memtop="%g" % (max(statistics.median(memory.bridge), 1) * 1.2))
    subprocess.run(["gnuplot"], input=script, text=True, check=True)
    os.remove(data)
    return "plot.png"


def plot_svg(figures, out_dir):
    """A plain SVG bar chart, for machines without gnuplot."""
    import math
    width, height, left, bottom, top_pad = 960, 480, 70, 90, 50
    top = max(f.ratio for f in figures)
    log = top > 20
    hi = math.log10(top * 2) if log else top * 1.2 + 0.2
    lo = math.log10(0.5) if log else 0.0

    def y(v):
        v = math.log10(max(v, 0.5)) if log else v
        return height - bottom - (v - lo) / (hi - lo) * (height - bottom - top_pad)

    slot = (width - left - 20) / len(figures)
    parts = ['<svg xmlns="http://www.w3.org/2000/svg" width="%d" height="%d" font-family="sans-serif" '
             'font-size="12">' % (width, height),
             '<rect width="100%" height="100%" fill="white"/>',
             '<text x="%d" y="25" text-anchor="middle" font-size="14">Bridge against its bare-runtime baseline, '
             'measured in the same run (1 = baseline%s)</text>' % (width / 2, "; log scale" if log else "")]
    for i, fig in enumerate(figures):
        x = left + i * slot + slot * 0.2
        parts.append('<rect x="%.1f" y="%.1f" width="%.1f" height="%.1f" fill="#4a7ebb" stroke="black"/>'
                     % (x, y(fig.ratio), slot * 0.6, y(lo if not log else 0.5) - y(fig.ratio)))
        parts.append('<text x="%.1f" y="%.1f" text-anchor="middle">%.2f×</text>'
                     % (x + slot * 0.3, y(fig.ratio) - 6, fig.ratio))
        for j, line in enumerate(fig.short.split("\\n")):
            parts.append('<text x="%.1f" y="%d" text-anchor="middle">%s</text>'
                         % (x + slot * 0.3, height - bottom + 20 + 15 * j, line))
    parts.append('<line x1="%d" x2="%d" y1="%.1f" y2="%.1f" stroke="#c0392b" stroke-dasharray="6,4"/>'
                 % (left, width - 20, y(1), y(1)))
    parts.append('<text x="%d" y="%.1f" text-anchor="end">1</text>' % (left - 6, y(1) + 4))
    parts.append("</svg>")
    with open(os.path.join(out_dir, "plot.svg"), "w") as f:
        f.write("\n".join(parts))
    return "plot.svg"


def main():
    out_dir = sys.argv[1]
    build_type = sys.argv[2] if len(sys.argv) > 2 else "unknown"
    startup = load(os.path.join(out_dir, "startup.json"))
    calls = load(os.path.join(out_dir, "calls.json"))
    vmlist = load(os.path.join(out_dir, "vmlist.json"))
    s, c, v = families(startup), families(calls), families(vmlist)

    def times(fams, name, scale):
        if name not in fams:
            sys.exit("no successful runs of %s: see the benchmark's own output" % name)
        return [sec * scale for sec, _ in fams[name]]

    vms = int(vmlist["context"].get("vms", "0"))
    bridge_init = s.get("Startup/FirstInitialize", [])
    bare_init = s.get("Startup/BareRuntime", [])
    bridge_list = v.get("VmList/GetVMListForEntity", [])
    bare_list = v.get("VmList/BareConversion", [])
    figures = [
        Figure("1. First `Initialize` (runtime start + wrapper) vs bare `mono_jit_init` + "
               "`mono_domain_assembly_open`; one sample per fresh process",
               "1. first Initialize\\nvs bare start",
               times(s, "Startup/FirstInitialize", 1e3), times(s, "Startup/BareRuntime", 1e3), "ms", spread=True),
        Figure("2a. `Disconnect` vs bare `mono_runtime_invoke` of `Logout` on the same object, per call",
               "2a. Disconnect\\nvs bare Logout",
               times(c, "Call/Disconnect", 1e9), times(c, "Call/BareLogout", 1e9), "ns"),
        Figure("2b. `FindVM` (three texts) vs bare invoke of `FindVM` (three `mono_string_new`), per call",
               "2b. FindVM (3 texts)\\nvs bare invoke",
               times(c, "Call/FindVM", 1e9), times(c, "Call/BareFindVM", 1e9), "ns"),
        Figure("3a. `GetVMListForEntity` of %s VMs vs a bare conversion (MoveNext, Current, 7 field reads, "
               "`mono_string_to_utf8` into reserved `SVMInfo` records), time per VM" % format(vms, ","),
               "3a. VM list\\ntime per VM",
               counter(bridge_list, "ns_per_vm"), counter(bare_list, "ns_per_vm"), "ns"),
        Figure("3b. The same two: peak resident memory above the call's start",
               "3b. VM list\\npeak memory",
               counter(bridge_list, "peak_MiB"), counter(bare_list, "peak_MiB"), "MiB", resolution=1.0),
    ]
    if not all(f.bridge and f.baseline for f in figures):
        sys.exit("a figure has no samples: see the benchmark programs' output")

    e2e_path = os.path.join(out_dir, "e2e.json")
    goals = e2e_figures(load(e2e_path), vmlist) if os.path.exists(e2e_path) else []
    plotted = [f for f in figures if f.ratio is not None] + [g for g, _, _ in goals if g.ratio is not None]
    memory = figures[-1]
    plot = plot_png(plotted, memory, out_dir) if shutil.which("gnuplot") else plot_svg(plotted, out_dir)

    ctx = calls["context"]
    lines = [
        "# Benchmark report",
        "",
        "Each figure of the bridge is measured next to its bare-runtime baseline in the same run and given as",
        "the ratio of their medians (bridge / baseline; 1 means no overhead).",
        "",
        "| Figure | Bridge | Baseline | Ratio |",
        "|---|---|---|---|",
    ]
    for f in figures:
        lines.append("| %s | %s | %s | %s |" % (f.label, f.cell(f.bridge), f.cell(f.baseline), f.ratio_text()))
    lines += [
        "",
        "![ratios](%s)" % plot,
        "",
    ]
    if goals:
        e2e = load(e2e_path)
        ectx = e2e["context"]
        lines += [
            "## Goals: the whole VM list end to end",
            "",
            "Against the simulator (`--generate %s`: %s VMs in %d query pages), from the cloud root as the System "
            "administrator, wrapper options `%s`. Each goal's ratio is of medians measured side by side in one run."
            % (ectx["generate"], format(ectx["vms"], ","), ectx["pages"], ectx["options"]),
            "The baseline pages are the minimal ones, %d pages of %d: the query the wrapper sends (with its `fields`), "
            "without its windows' offsets and overlaps." % (ectx.get("minimal_pages", ectx["pages"]), ectx.get("page_size", 128)),
            "",
            "| Goal | Bridge | Baseline | Ratio | Bound | Met |",
            "|---|---|---|---|---|---|",
        ]
        for g, bound, sense in goals:
            r = g.ratio
            met = "" if bound is None or r is None else ("yes" if (r <= bound if sense == "<=" else r >= bound) else "**no**")
            lines.append("| %s | %s | %s | %s | %s | %s |" % (g.label, g.cell(g.bridge), g.cell(g.baseline),
                                                           "**%.2f×**" % r if r is not None else "n/a",
                                                           "" if bound is None else "%s %g×" % (sense, bound), met))
        if e2e.get("requests"):
            lines += ["", "G6. Requests per operation in one session, counted at the simulator (deterministic, and pinned "
                      "by the wrapper test group `kept names`):", "",
                      "| Operation | Before (first and repeat) | First call | Repeat | Bound (repeat) | Met |", "|---|---|---|---|---|---|"]
            for op in e2e["requests"]:
                bound = REQUESTS_BOUND.get(op["op"])
                before = REQUESTS_BEFORE.get(op["op"], "?")
                met = "" if bound is None else ("yes" if 0 <= op["repeat"] <= bound and op["first"] <= before else "**no**")
                lines.append("| `%s` | %s | %d | %d | <= %s | %s |" % (op["op"], before, op["first"], op["repeat"],
                                                                      bound if bound is not None else "-", met))
        cpu = [x["cpu_s"] for x in e2e["samples"] if x["ok"] and x["side"] == "bridge" and x["latency_ms"] == 0]
        sim_b = [x["sim_cpu_s"] for x in e2e["samples"] if x["ok"] and x["side"] == "bridge" and x["latency_ms"] == 0 and "sim_cpu_s" in x]
        sim_c = [x["sim_cpu_s"] for x in e2e["samples"] if x["ok"] and x["side"] == "curl" and x["latency_ms"] == 0 and "sim_cpu_s" in x]
        curl_wall = [x["wall_s"] for x in e2e["samples"] if x["ok"] and x["side"] == "curl" and x["latency_ms"] == 0]
        two, one = threaded(vmlist, 2), threaded(vmlist, 1)
        lines += [
            "",
            "- Bridge CPU time at zero latency: %s s (median), %s s of it system time. Whole processes: the client "
            "process listing every VM %s s (%s s system), the Python walker %s s (%s s system)."
            % tuple(fmt(statistics.median(v)) if v else "?" for v in (
                cpu, [x["sys_s"] for x in e2e["samples"] if x["ok"] and x["side"] == "bridge" and x["latency_ms"] == 0 and "sys_s" in x],
                [x["cpu_s"] for x in e2e["samples"] if x["ok"] and x["side"] == "bridge-process"],
                [x["sys_s"] for x in e2e["samples"] if x["ok"] and x["side"] == "bridge-process"],
                [x["cpu_s"] for x in e2e["samples"] if x["ok"] and x["side"] == "python"],
                [x["sys_s"] for x in e2e["samples"] if x["ok"] and x["side"] == "python"])),
            "- CPU the simulator spent per walk with no added latency: %s s for the bridge's walk, %s s for curl's "
            "(medians). Bridge and simulator share the machine's %d cores, so the bridge's walk cannot take less "
            "than (bridge CPU + simulator CPU) / cores = %s s of wall time, against curl's %s s."
            % tuple([fmt(statistics.median(sim_b)) if sim_b else "?", fmt(statistics.median(sim_c)) if sim_c else "?",
                     os.cpu_count() or 0,
                     fmt((statistics.median(cpu) + statistics.median(sim_b)) / (os.cpu_count() or 1)) if sim_b and cpu else "?",
                     fmt(statistics.median(curl_wall)) if curl_wall else "?"]),
            "- curl runs from a small freshly executed process, so its peak memory is its own: %s MiB (median)."
            % fmt(statistics.median([x["peak_MiB"] for x in e2e["samples"] if x["side"] == "curl"] or [0])),
            "- Threads: busy cores per second of wall time during the two-thread run: %s (2 means both threads "
            "ran side by side; less means they waited for cores other processes held)."
            % (fmt(statistics.median(counter(two, "cpu_per_wall"))) if two else "?"),
            "- Threads: CPU time per VM, two threads against one: %s µs against %s µs (equal when the threads add no "
            "work for each other; waiting for each other does not show here, only in the busy cores above)."
            % ((fmt(statistics.median(counter(two, "cpu_us_per_vm"))), fmt(statistics.median(counter(one, "cpu_us_per_vm"))))
               if two and one and counter(two, "cpu_us_per_vm") else ("?", "?")),
            "- Load average at the end of the end-to-end run: %s." % ", ".join("%.2f" % x for x in ectx.get("load_avg_end", [])),
            "",
        ]
        cores = os.cpu_count() or 1
        # The share of the whole client process that the kernel spends clearing fresh pages (the records'
        # memory above all), from its profile when the run made one.
        clearing = None
        process_profile = os.path.join(out_dir, "profile-process.txt")
        if os.path.exists(process_profile):
            with open(process_profile) as f:
                found = re.search(r"([0-9.]+)%\s+\[k\] clear_page_erms", f.read())
            clearing = float(found.group(1)) if found else None
        floor = ((statistics.median(cpu) + statistics.median(sim_b)) / cores / statistics.median(curl_wall)
                 if cpu and sim_b and curl_wall else None)
        par50 = [x["wall_s"] for x in e2e["samples"] if x["ok"] and x["side"] == "curl-parallel" and x["latency_ms"] == 50]
        ideal50 = ectx.get("minimal_pages", ectx["pages"]) * 0.050 / max(1, ectx["concurrency"])
        lines += [
            "### What bounds the goals",
            "",
            "- G1, wall time against curl: the bridge's walk and the simulator share the machine's %d cores, while "
            "curl, which does almost no work, leaves the simulator a core of its own. The walk cannot end before "
            "(bridge CPU + simulator CPU) / cores; that floor alone is %s of curl's wall time in this run, before any "
            "wait. In the whole process's profile below, the kernel clearing the native records' fresh pages takes "
            "%s of the CPU; of the rest, the page scanner and the records it makes (the query window readers) "
            "and the conversion into native records lead." % (cores, "%.2f×" % floor if floor else "?",
                                                           "%.0f %%" % clearing if clearing is not None else "a large part"),
            "- G2, added latency: curl with queryConcurrency transfers at once and no work of its own takes %s of "
            "minimal pages x latency / K at 50 ms: that is the simulator's own time per request beyond the latency "
            "(building and sending the page, on cores it shares), which any client pays. The wrapper adds its "
            "1.5 %% more windows, the first window read alone (its total plans the rest), and its CPU on the "
            "same cores." % ("%.2f×" % (statistics.median(par50) / ideal50) if par50 else "?"),
            "- G5, two threads: the busy cores per second above say how much of the machine the two threads had; "
            "below 2, other processes held the cores and the ratio measures the machine's load as much as the "
            "bridge.",
            "- G7 and G1b, CPU against the Python walker: the walker parses each page with libxml2 in C on one "
            "thread over one connection and keeps three texts a record. The bridge's process pays Mono's start, "
            "the managed page scanner and the managed records it makes (each page is read on its reader's own "
            "thread over a kept connection, no longer handed between HttpClient's threads), the collector, and "
            "the native records: 100,000 records of %d bytes are some 290 MiB of fresh memory that the kernel "
            "clears before the conversion writes them (`clear_page_erms`: %s of the whole process's CPU in its "
            "profile below; on this virtual machine fresh memory also waits for its host, so that share varies "
            "from run to run). The records' layout is fixed, so that memory is part of any whole-process figure."
            % (ectx.get("vm_record_bytes", 0), "%.0f %%" % clearing if clearing is not None else "the largest entry"),
            "- G8, system time: clearing the records' fresh pages above all, then the socket reads; the Python "
            "walker, whose records are small, spends under a tenth of its CPU there.",
            "- G9, one command: the wrapper's own JIT was about a twentieth of the command's CPU, and compiling "
            "System, System.Xml, System.Net.Http and System.Xml.Linq just in time most of the rest; their images "
            "in `framework-aot/` (README, Configuration) take that away. What is left is Mono's own start and "
            "the loading of the assemblies' metadata and classes (libmonosgen's hash tables and metadata "
            "decoding lead its profile), the kernel's page faults of the mapped images, and the requests. Wall "
            "time on a busy machine also waits for the simulator's answers.",
            "",
        ]
        before_path = os.path.join(out_dir, "e2e-before.json")
        if os.path.exists(before_path):
            # The goals measured by the same program before this round's changes (an earlier run on the same
            # machine under its own load: compare the ratios, each against its baseline of that run).
            before = load(before_path)
            earlier = {g.label: g for g, _, _ in e2e_figures(before, vmlist) if not g.label.startswith("G5.")}
            lines += ["Before this round's changes (`e2e-before.json`: the same program at %s, latency 0 only, "
                      "load average at its end %s; compare ratios, not times):"
                      % (before["context"].get("run", "an earlier time"),
                         ", ".join("%.2f" % x for x in before["context"].get("load_avg_end", []))),
                      "", "| Goal | Before: bridge | Before: baseline | Before: ratio | Now: ratio |", "|---|---|---|---|---|"]
            for g, _, _ in goals:
                b = earlier.get(g.label)
                if b is None or b.ratio is None:
                    continue
                lines.append("| %s | %s | %s | **%.2f×** | **%s** |" % (
                    g.short.replace("\\n", " "), b.cell(b.bridge), b.cell(b.baseline), b.ratio,
                    "%.2f×" % g.ratio if g.ratio is not None else "n/a"))
            lines += ["", "Before this round the wrapper had no ahead-of-time image: both command rows of that run "
                      "compiled it just in time. Ratios against the Python walker, curl and the memory floor are "
                      "measured side by side within each run; ratios against fixed bounds also carry each run's "
                      "load.", ""]
        for name, title in (("profile-process.txt", "CPU of a whole client process through the bridge (perf)"),
                            ("profile-cpu.txt", "CPU of the managed read path (perf)"),
                            ("profile-alloc.txt", "Allocations of the managed read path (Mono log profiler)"),
                            ("profile-cpu-before.txt", "Before this round: CPU of the managed read path (perf)"),
                            ("profile-alloc-before.txt", "Before this round: allocations of the managed read path")):
            path = os.path.join(out_dir, name)
            if os.path.exists(path):
                with open(path) as f:
                    text = f.read().rstrip("\n").splitlines()[:24]
                lines += ["### " + title + " (`%s`, first lines)" % name, "", "```"] + text + ["```", ""]
    lines += [
        "## Details",
        "",
        "- Start-up: %d fresh processes of each kind; median (min–max, standard deviation). Whole child "
        "process, spawn to exit: bridge %s ms, bare %s ms (medians). Binding the Mono entry points (inside the "
        "bridge's figure, outside the bare one): %s ms. A second `Initialize` on the running runtime (wrapper "
        "object only): %s ms."
        % (len(bridge_init), fmt(statistics.median(counter(bridge_init, "process_ms"))),
           fmt(statistics.median(counter(bare_init, "process_ms"))),
           fmt(statistics.median(counter(bare_init, "bind_ms"))),
           fmt(statistics.median(counter(bridge_init, "second_init_ms")))),
        "- Per-call figures: median of %d repetitions, each the mean over as many calls as fit its minimum "
        "time." % len(c.get("Call/Disconnect", [])),
        "- VM list: median of %d repetitions per side, each the mean over its calls; whole call %s ms (bridge) and %s ms (bare conversion). The "
        "baseline does the conversion's least work: the seven field reads and a UTF-8 copy of each text into "
        "records of a vector it reserves up front. Peak memory: resident high-water mark (VmHWM) after the call minus "
        "resident size (VmRSS) before it, with the mark lowered first (peak reset: %s). Of the bridge's peak, "
        "the returned vector's own storage (%d-byte records, texts not counted) is %s MiB, about %s bytes of "
        "peak per VM in all."
        % (len(bridge_list), fmt(statistics.median(times(v, "VmList/GetVMListForEntity", 1e3))),
           fmt(statistics.median(times(v, "VmList/BareConversion", 1e3))),
           vmlist["context"].get("peak_reset", "?"), int(vmlist["context"].get("vm_record_bytes", "0")),
           fmt(statistics.median(counter(bridge_list, "vector_MiB"))),
           fmt(statistics.median(counter(bridge_list, "peak_MiB")) * 1048576 / max(vms, 1))),
        "",
        "## Machine",
        "",
        "- CPU: %s; %s logical CPUs (nproc %d)" % (cpu_model(), ctx.get("num_cpus"), os.cpu_count() or 0),
        "- Load average at the start of the runs: %s (the machine is shared; noise shows in the spread)"
        % ", ".join("%.2f" % x for x in startup["context"].get("load_avg", [])),
        "- Mono %s; our code built as %s; run %s" % (ctx.get("mono", "?"), build_type, ctx.get("date", "?")),
        "",
    ]
    with open(os.path.join(out_dir, "report.md"), "w") as f:
        f.write("\n".join(lines))
    print("\n".join(lines))


if __name__ == "__main__":
    main()
