#!/usr/bin/env python3
"""Launcher start to first request: the time from the start of the packed and signed launcher
under Wine to the first request the local HTTPS server sees for its product, median of several
runs. Prints key=value figures; never fails the caller.
Usage: start_bench.py RUNS   (VEK_BUILD_DIR, VEK_SERVER_INFO and VEK_SIGNING_DIR set by bench.sh)"""
import os
import statistics
import subprocess
import sys
import time

sys.path.insert(0, os.path.join(os.path.dirname(os.path.dirname(os.path.dirname(os.path.abspath(__file__)))),
                                "tests", "e2e"))
import vek_e2e as e2e  # noqa: E402


def one_run(index):
    product = e2e.Product("bench-start-%d" % index)
    product.add_plugin()
    product.add_file("payload.bin", b"x" * 4096)
    exe = product.launcher()
    env = dict(os.environ)
    start = time.time()
    process = subprocess.Popen(["bash", os.path.join(e2e.ROOT, "tools", "wine-run.sh"), exe, "/SILENT"], env=env,
                               stdout=subprocess.DEVNULL, stderr=subprocess.DEVNULL)
    try:
        process.wait(timeout=240)
    except subprocess.TimeoutExpired:
        process.kill()
        return None
    times = [entry["time"] for entry in e2e.request_log(product.prefix)]
    return (min(times) - start) * 1000.0 if times else None


def main():
    runs = int(sys.argv[1]) if len(sys.argv) > 1 else 5
    one_run(0)  # warm-up: the prefix's first start of this executable
    figures = [t for t in (one_run(i) for i in range(1, runs + 1)) if t is not None]
    if not figures:
        print("start_to_first_request: no run reached the server")
        return
    print("start_to_first_request_ms_runs=%s" % ", ".join("%.0f" % t for t in figures))
    print("start_to_first_request_ms_median=%.0f (goal: under 300)" % statistics.median(figures))


if __name__ == "__main__":
    main()
