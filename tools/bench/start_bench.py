#!/usr/bin/env python3
"""Launcher start to first request: the time from the start of the packed and signed launcher
under Wine to the first request the local HTTPS server sees for its product, median of several
runs, beside its yardstick: a bare program of the same bitness that starts, opens a WinHTTP session
and makes one request to the same server (FirstRequest.exe), run alternately with the launcher.
The goal is the launcher's median at most 100 ms above the yardstick's. Prints key=value figures;
never fails the caller.
Usage: start_bench.py RUNS   (VEK_BUILD_DIR, VEK_SERVER_INFO and VEK_SIGNING_DIR set by bench.sh)"""
import os
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


def launcher_run(index):
    product = e2e.Product("bench-start-%d" % index)
    product.add_plugin()
    product.add_file("payload.bin", b"x" * 4096)
    exe = product.launcher()
    start = time.time()
    return first_request_ms(product.prefix, start) if run_to_end([exe, "/SILENT"]) else None


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


if __name__ == "__main__":
    main()
