#!/usr/bin/env python3
"""Launcher start to first request: the time from the start of the packed and signed launcher
under Wine to the first request the local HTTPS server sees for its product, median of several
runs, beside its yardstick: a bare program of the same bitness that starts, opens a WinHTTP session
and makes one request to the same server (FirstRequest.exe), run alternately with the launcher.
The goal is the launcher's median at most 100 ms above the yardstick's. With BENCH_START_TRACE=1
the launcher's start-up trace is switched on for the runs (the registry value that the launcher
reads) and a table of its steps follows: the median time of each step's start after the process
was created and the median length of each step. Prints key=value figures; never fails the caller.
Usage: start_bench.py RUNS   (VEK_BUILD_DIR, VEK_SERVER_INFO and VEK_SIGNING_DIR set by bench.sh)"""
import os
import re
import statistics
import subprocess
import sys
import time

sys.path.insert(0, os.path.join(os.path.dirname(os.path.dirname(os.path.dirname(os.path.abspath(__file__)))),
                                "tests", "e2e"))
import vek_e2e as e2e  # noqa: E402


def first_request_ms(prefix, start):
    times = [entry["time"] for entry in e2e.request_log(prefix)]
    return (min(times) - start) * 1000.0 if times else None


def run_to_end(args):
    process = subprocess.Popen(["bash", os.path.join(e2e.ROOT, "tools", "wine-run.sh")] + args, env=dict(os.environ),
                               stdout=subprocess.DEVNULL, stderr=subprocess.DEVNULL)
    try:
        process.wait(timeout=240)
        return True
    except subprocess.TimeoutExpired:
        process.kill()
        return False


TRACE_KEY = r"HKLM\Software\Vallor\Vek"
# "<yyyy-mm-dd-hh-mm-ss-mmm> : <thread> : Information : Start-up step <name> at <n> ms after ...".
TRACE_LINE = re.compile(r"^(\d{4}-\d\d-\d\d-\d\d-\d\d-\d\d-\d{3}) : .*?Start-up step (.+?) at (\d+) ms after the "
                        r"process start", re.M)
# The steps of each traced launcher run: [(name, ms after the process was created), ...], between
# the Wine command (before the process exists: negative) and the first request the server saw.
traces = []


def log_clock(text):
    """Seconds since the epoch of a log line's local time stamp."""
    return time.mktime(time.strptime(text[:19], "%Y-%m-%d-%H-%M-%S")) + int(text[20:]) / 1000.0


def switch_trace(on):
    """The launcher reads its switch in its own registry view: the 32-bit one for a 32-bit build."""
    view = "/reg:64" if e2e.PLUGIN_TYPE == "job_plugin64" else "/reg:32"
    if on:
        e2e.wine_tool("reg", "add", TRACE_KEY, "/v", "StartupTrace", "/t", "REG_DWORD", "/d", "1", "/f", view)
    else:
        e2e.wine_tool("reg", "delete", TRACE_KEY, "/v", "StartupTrace", "/f", view)


def launcher_run(index):
    product = e2e.Product("bench-start-%d" % index)
    product.add_plugin()
    product.add_file("payload.bin", b"x" * 4096)
    exe = product.launcher()
    start = time.time()
    if not run_to_end([exe, "/SILENT"]):
        return None
    first = first_request_ms(product.prefix, start)
    if index > 0:
        lines = list(TRACE_LINE.finditer(e2e.log_text_since(start, product)))
        if lines:
            # The log's clock places the process's creation on the benchmark's clock.
            created = log_clock(lines[-1].group(1)) - int(lines[-1].group(3)) / 1000.0
            steps = [("Wine command", round((start - created) * 1000.0))]
            steps += [(m.group(2), int(m.group(3))) for m in lines]
            if first is not None:
                steps.append(("first request", round((start - created) * 1000.0 + first)))
            traces.append(steps)
    return first


def trace_table():
    """Per step: the median start after the process was created and the median length (to the
    next step's start)."""
    names = []
    for steps in traces:
        for name, _ in steps:
            if name not in names:
                names.append(name)
    print("startup_trace_runs=%d" % len(traces))
    print("startup_trace (step: median ms after the process was created; median ms to the next step):")
    for name in names:
        starts, lengths = [], []
        for steps in traces:
            for position, (step, at) in enumerate(steps):
                if step == name:
                    starts.append(at)
                    if position + 1 < len(steps):
                        lengths.append(steps[position + 1][1] - at)
                    break
        length = "%.0f" % statistics.median(lengths) if lengths else "-"
        print("  %-28s %6.0f %6s" % (name, statistics.median(starts), length))


def yardstick_run(index):
    """The bare program of the same bitness: start under Wine, one WinHTTP session, one request."""
    prefix = "/t/bench-yardstick-%d-%d/" % (os.getpid(), index)
    e2e.put_file(prefix + "first", b"x")
    start = time.time()
    ok = run_to_end([os.path.join(e2e.BIN, "FirstRequest.exe"), e2e.https_url(prefix + "first")])
    return first_request_ms(prefix, start) if ok else None


def median_line(name, figures):
    print("%s_ms_runs=%s" % (name, ", ".join("%.0f" % t for t in figures)))
    print("%s_ms_median=%.0f" % (name, statistics.median(figures)))


def main():
    runs = int(sys.argv[1]) if len(sys.argv) > 1 else 5
    traced = bool(os.environ.get("BENCH_START_TRACE"))
    if traced:
        switch_trace(True)
    try:
        measure(runs)
    finally:
        if traced:
            switch_trace(False)


def measure(runs):
    launcher_run(0)  # warm-up: the prefix's first start of each executable
    yardstick_run(0)
    launcher, yardstick = [], []
    for i in range(1, runs + 1):  # alternating, the order flipping every run
        ways = [(launcher_run, launcher), (yardstick_run, yardstick)]
        for way, figures in (ways if i % 2 else reversed(ways)):
            t = way(i)
            if t is not None:
                figures.append(t)
    if not launcher or not yardstick:
        print("start_to_first_request: no run reached the server")
        return
    median_line("start_to_first_request", launcher)
    median_line("yardstick_start_to_first_request", yardstick)
    over = statistics.median(launcher) - statistics.median(yardstick)
    print("start_to_first_request_minus_yardstick_ms_of_medians=%.0f (goal: at most 100)" % over)
    print("ratio_launcher_ms_over_yardstick_ms_of_medians=%.2f"
          % (statistics.median(launcher) / statistics.median(yardstick)))
    if traces:
        trace_table()


if __name__ == "__main__":
    main()
