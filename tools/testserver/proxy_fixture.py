#!/usr/bin/env python3
"""Real proxy fixture: two tinyproxy instances on 127.0.0.1, one open, one with Basic authentication.

    proxy_fixture.py start --info <file.json> [--lifetime 1800]
    proxy_fixture.py stop  --info <file.json>
CTest runs these through the fixture "net_proxy" (tests/fixtures). The info file:
    {"pid": ..., "host": "127.0.0.1", "port": P, "auth_port": P, "user": "vekuser",
     "password": "vekpass", "log": "<dir>/tinyproxy-open.log", "auth_log": "<dir>/tinyproxy-auth.log"}
Both proxies allow CONNECT to any port (so HTTPS to the local test server tunnels through them)
and log each request line at level Info: a test reads the log to see that a CONNECT went through.
They stop with the fixture's watchdog (parent gone, lifetime over) or on "stop".
"""
import argparse
import os
import socket
import subprocess
import sys
import threading
import time

sys.path.insert(0, os.path.dirname(os.path.abspath(__file__)))
import fixture_daemon  # noqa: E402

USER, PASSWORD = "vekuser", "vekpass"
CHILDREN = []
STOP = threading.Event()


def free_port():
    with socket.socket() as s:
        s.bind(("127.0.0.1", 0))
        return s.getsockname()[1]


def launch(folder, name, auth):
    port = free_port()
    conf = os.path.join(folder, "tinyproxy-%s.conf" % name)
    log = os.path.join(folder, "tinyproxy-%s.log" % name)
    open(log, "w").close()
    lines = ["Port %d" % port, "Listen 127.0.0.1", "Timeout 120", 'LogFile "%s"' % log,
             "LogLevel Info", "MaxClients 64", "Allow 127.0.0.1", "DisableViaHeader Yes"]
    if os.geteuid() == 0:
        # tinyproxy drops root; keep the log writable for the user it becomes.
        lines += ["User nobody", "Group nogroup"]
        os.chmod(log, 0o666)
    if auth:
        lines.append("BasicAuth %s %s" % (USER, PASSWORD))
    with open(conf, "w") as f:
        f.write("\n".join(lines) + "\n")
    CHILDREN.append(subprocess.Popen(["tinyproxy", "-d", "-c", conf], stdin=subprocess.DEVNULL))
    for _ in range(100):
        try:
            socket.create_connection(("127.0.0.1", port), timeout=1).close()
            return port, log
        except OSError:
            time.sleep(0.05)
    raise RuntimeError("tinyproxy did not listen on %d" % port)


def run(folder, info_path):
    port, log = launch(folder, "open", False)
    auth_port, auth_log = launch(folder, "auth", True)
    fixture_daemon.write_info(info_path, {
        "pid": os.getpid(), "host": "127.0.0.1", "port": port, "auth_port": auth_port,
        "user": USER, "password": PASSWORD, "log": log, "auth_log": auth_log})
    STOP.wait()
    end_children()


def end_children():
    for c in CHILDREN:
        if c.poll() is None:
            c.terminate()
    for c in CHILDREN:
        try:
            c.wait(timeout=5)
        except subprocess.TimeoutExpired:
            c.kill()


def main():
    p = argparse.ArgumentParser()
    p.add_argument("action", choices=["start", "stop"])
    p.add_argument("--info", required=True)
    p.add_argument("--lifetime", type=float, default=1800)
    args = p.parse_args()
    info = os.path.abspath(args.info)
    if args.action == "stop":
        fixture_daemon.stop(info, lambda i: os.kill(i["pid"], 15))
        return

    def on_stop():
        STOP.set()
        end_children()
    fixture_daemon.start(info, args.lifetime, lambda: run(os.path.dirname(info), info), on_stop)


if __name__ == "__main__":
    main()
