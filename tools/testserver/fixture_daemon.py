"""Start/stop plumbing shared by the test-server fixtures (https_server.py, proxy_fixture.py).

start() forks a detached child (own session, output to <info>.log, so CTest's pipes close), waits
until the child has written its info file, and returns. The child stops by itself when the process
that called start() is gone (normally ctest; VEK_FIXTURE_WATCH_PID overrides it) or when its
lifetime is over. stop() ends the instance that an info file names.
"""
import json
import os
import signal
import sys
import threading
import time
import urllib.request


def pid_alive(pid):
    try:
        os.kill(pid, 0)
    except ProcessLookupError:
        return False
    except PermissionError:
        return True
    try:
        with open("/proc/%d/stat" % pid) as f:
            return f.read().split(") ")[-1][:1] != "Z"
    except OSError:
        return False


def write_info(path, info):
    tmp = path + ".tmp"
    with open(tmp, "w") as f:
        json.dump(info, f, indent=1)
    os.replace(tmp, path)


def read_info(path):
    try:
        with open(path) as f:
            return json.load(f)
    except (OSError, ValueError):
        return None


def http_post(port, path):
    req = urllib.request.Request("http://127.0.0.1:%d%s" % (port, path), data=b"", method="POST")
    urllib.request.urlopen(req, timeout=5).read()


def stop(info_path, ask):
    info = read_info(info_path)
    if info and pid_alive(info["pid"]):
        try:
            ask(info)
        except Exception:
            pass
        for _ in range(50):
            if not pid_alive(info["pid"]):
                break
            time.sleep(0.1)
        if pid_alive(info["pid"]):
            os.kill(info["pid"], signal.SIGTERM)
    for p in (info_path, info_path + ".tmp"):
        if os.path.exists(p):
            os.remove(p)


def start_watchdog(watch_pid, lifetime, on_stop):
    began = time.monotonic()

    def watch():
        while True:
            time.sleep(0.5)
            gone = watch_pid is not None and not pid_alive(watch_pid)
            if gone or time.monotonic() - began > lifetime:
                try:
                    on_stop()
                finally:
                    time.sleep(2)
                    os._exit(0)
    threading.Thread(target=watch, daemon=True).start()


def start(info_path, lifetime, run, on_stop, old_stop=None):
    info_path = os.path.abspath(info_path)
    os.makedirs(os.path.dirname(info_path), exist_ok=True)
    stop(info_path, old_stop or (lambda info: os.kill(info["pid"], signal.SIGTERM)))
    watch_pid = int(os.environ.get("VEK_FIXTURE_WATCH_PID") or os.getppid())
    child = os.fork()
    if child == 0:
        os.setsid()
        fd = os.open(info_path + ".log", os.O_WRONLY | os.O_CREAT | os.O_APPEND, 0o644)
        null = os.open(os.devnull, os.O_RDONLY)
        os.dup2(null, 0)
        os.dup2(fd, 1)
        os.dup2(fd, 2)
        signal.signal(signal.SIGTERM, lambda *a: (on_stop(), os._exit(0)))
        try:
            start_watchdog(watch_pid, lifetime, on_stop)
            run()
        except BaseException as e:  # noqa: B902 - the log is the only place to say it
            print("fixture failed: %r" % (e,), flush=True)
            os._exit(1)
        os._exit(0)
    for _ in range(200):
        info = read_info(info_path)
        if info and info.get("pid") == child:
            print("started pid %d, info %s" % (child, info_path))
            return
        pid, _ = os.waitpid(child, os.WNOHANG)
        if pid:
            break
        time.sleep(0.1)
    sys.exit("fixture did not start; see %s.log" % info_path)
