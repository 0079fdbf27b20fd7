"""Shared pieces of the end-to-end tests: a packed and signed launcher made from a manifest, run
under the tree's Wine prefix against the local HTTPS test server (tools/testserver)."""
import hashlib
import json
import os
import re
import shutil
import subprocess
import time
import urllib.request
import uuid

ROOT = os.path.dirname(os.path.dirname(os.path.dirname(os.path.abspath(__file__))))
TREE = os.environ["VEK_BUILD_DIR"]
BIN = os.path.join(TREE, "bin")
PREFIX = os.path.join(TREE, "wineprefix")
SIGNING = os.environ.get("VEK_SIGNING_DIR", os.path.join(TREE, "signing", "e2e"))
# A 64-bit launcher loads the plug-in that the manifest names with the type "job_plugin64".
_ARCH_FILE = os.path.join(TREE, "vek-arch")
PLUGIN_TYPE = "job_plugin64" if os.path.exists(_ARCH_FILE) and open(_ARCH_FILE).read().strip() == "x64" else "job_plugin2"
PLUGIN_CLASS = "{C0239F12-0DE7-47DD-8B89-C16B6A1B4B40}"


def server_info():
    with open(os.environ.get("VEK_SERVER_INFO", os.path.join(TREE, "testserver", "https-server.json"))) as f:
        return json.load(f)


def control(path, body=None):
    info = server_info()
    url = "http://127.0.0.1:%d%s" % (info["http_port"], path)
    data = body if isinstance(body, bytes) or body is None else json.dumps(body).encode()
    request = urllib.request.Request(url, data=data, method="POST" if data is not None else "GET")
    with urllib.request.urlopen(request, timeout=30) as response:
        text = response.read()
    try:
        return json.loads(text)
    except ValueError:
        return text


def https_url(path):
    return "https://localhost:%d%s" % (server_info()["https_port"], path)


def put_file(path, content):
    control("/_control/file?path=" + path, content)


def request_log(prefix):
    return control("/_control/log?prefix=" + prefix)


def windows_path(unix_path):
    return "Z:" + unix_path.replace("/", "\\")


def sha256(data):
    return hashlib.sha256(data).hexdigest()


class Product:
    """A test product: files served under its own prefix and a manifest naming them."""

    def __init__(self, name):
        self.name = name
        self.prefix = "/t/e2e-%s-%d/" % (name, os.getpid())
        self.work = os.path.join(TREE, "e2e", name)
        shutil.rmtree(self.work, ignore_errors=True)
        os.makedirs(self.work)
        self.install_folder = os.path.join(self.work, "installed")
        self.run_location = os.path.join(self.work, "run")
        self.files = []
        self.job_id = "{%s}" % str(uuid.uuid4()).upper()
        self.manifest_id = "{%s}" % str(uuid.uuid4()).upper()

    def add_file(self, name, data, **extra):
        put_file(self.prefix + name, data)
        entry = {"source_file": https_url(self.prefix + name), "destination_file": name,
                 "validation": {"type": "sha256", "data": sha256(data)}}
        entry.update(extra)
        self.files.append(entry)
        return entry

    def add_plugin(self, signer="maker"):
        with open(os.path.join(SIGNING, signer, "VekDemoPlugin.dll"), "rb") as f:
            data = f.read()
        return self.add_file("VekDemoPlugin.dll", data, type=PLUGIN_TYPE, clsid=PLUGIN_CLASS, file_priority=10)

    def add_scripted_plugin(self, script, signer="maker"):
        """The scripted test plug-in with its script beside it (see ScriptedPlugin.cpp)."""
        with open(os.path.join(SIGNING, signer, "jobs_scripted_plugin.dll"), "rb") as f:
            data = f.read()
        self.add_file("plugin.dll.script", script.encode(), file_priority=5)
        return self.add_file("plugin.dll", data, type=PLUGIN_TYPE, clsid=PLUGIN_CLASS, file_priority=10)

    def manifest(self, ui_mode="SILENT", options=None):
        bootstrap_options = {"install": "false", "ask_location": "false", "honor_restart": False,
                             "shouldCreateRunKey": False, "shouldCreateRunTask": False,
                             "shouldCreateShortcuts": False}
        bootstrap_options.update(options or {})
        return {"vek": {
            "global": {"manifest_id": self.manifest_id, "TRANSIENT_ERROR_RETRY_COUNT": 3},
            "environment": {"PARAMS": ""},
            "bootstrap": {"run_location": windows_path(self.run_location),
                          "download_folder": "VekE2E-" + self.name, "installed_vek": "VekLauncher.exe",
                          "options": bootstrap_options},
            "job_array": [{"job_id": self.job_id, "job_type": "install",
                           "distribution": {"product_display_name": "Vek test product " + self.name,
                                            "ui_mode": ui_mode, "cc_token": "VEKTEST-0000-0000-0001"},
                           "demo_install_folder": windows_path(self.install_folder),
                           "file_array": self.files}]}}

    def launcher(self, manifest=None, signer="maker"):
        """The launcher with the manifest appended, signed by the signer (None: unsigned)."""
        manifest_path = os.path.join(self.work, "manifest.json")
        with open(manifest_path, "w") as f:
            json.dump(manifest or self.manifest(), f)
        packed = os.path.join(self.work, "VekLauncher-packed.exe")
        subprocess.run(["python3", os.path.join(ROOT, "tools", "packwriter", "packwriter.py"),
                        os.path.join(BIN, "VekLauncher.exe"), manifest_path, packed], check=True)
        out = os.path.join(self.work, "VekLauncher.exe")
        if signer is None:
            shutil.copyfile(packed, out)
        else:
            subprocess.run(["bash", os.path.join(ROOT, "tools", "signing", "sign-file.sh"), SIGNING, signer,
                            packed, out], check=True)
        return out


def run_launcher(exe, *args, timeout=240):
    env = dict(os.environ, VEK_BUILD_DIR=TREE)
    try:
        result = subprocess.run(["bash", os.path.join(ROOT, "tools", "wine-run.sh"), exe, *args], env=env,
                                stdout=subprocess.PIPE, stderr=subprocess.STDOUT, timeout=timeout)
    except subprocess.TimeoutExpired:
        kill_windows_process(exe)  # the Windows process outlives the runner script
        raise
    return result.returncode, result.stdout.decode(errors="replace")


def start_launcher(exe, *args):
    """Starts the launcher without waiting; the caller waits on or kills the process."""
    env = dict(os.environ, VEK_BUILD_DIR=TREE)
    return subprocess.Popen(["bash", os.path.join(ROOT, "tools", "wine-run.sh"), exe, *args], env=env,
                            stdout=subprocess.DEVNULL, stderr=subprocess.DEVNULL)


def kill_windows_process(exe):
    """Ends the Wine processes of that executable file, and only those (a Wine process is named
    after its Windows path, whose separators differ from the Linux path's)."""
    folder, name = os.path.split(exe)
    pattern = "%s.%s$|%s.%s " % (re.escape(os.path.basename(folder)), re.escape(name),
                                  re.escape(os.path.basename(folder)), re.escape(name))
    subprocess.run(["pkill", "-KILL", "-f", pattern], check=False)


def exit_codes(log):
    """The exit codes that the launchers of a log text recorded, in the order of the log."""
    return [int(code) for code in re.findall(r"VEK exited\. Error code: (-?\d+)", log)]


def wine_tool(*args):
    env = dict(os.environ, VEK_BUILD_DIR=TREE)
    result = subprocess.run(["bash", os.path.join(ROOT, "tools", "wine-run.sh"), *args], env=env,
                            stdout=subprocess.PIPE, stderr=subprocess.DEVNULL, timeout=120)
    return result.returncode, result.stdout.decode("utf-8", errors="replace")


def reg_values(key):
    """The values of a registry key as {name: text}, or None when the key does not exist."""
    code, text = wine_tool("reg", "query", key)
    if code != 0:
        return None
    values = {}
    # "    <name>    REG_<type>    <data>": names may hold blanks, the separators are four blanks.
    for line in text.splitlines():
        match = re.match(r"^\s+(.*?)\s{4}(REG_\w+)(?:\s{4}(.*))?$", line.rstrip())
        if match:
            values[match.group(1)] = match.group(3) or ""
    return values


def wait_until(predicate, timeout, step=0.5):
    end = time.time() + timeout
    while time.time() < end:
        if predicate():
            return True
        time.sleep(step)
    return predicate()


def data_folder():
    """The launcher's data folder in the prefix (log files and state files)."""
    return os.path.join(PREFIX, "drive_c", "ProgramData", "Talvern", "Vek")


def log_text_since(start, product=None):
    """The text of the launcher's log files written since the given time; with a product, only the
    files that name its folder (other launchers, such as a relaunched copy of an earlier test,
    may still be logging)."""
    texts = []
    folder = data_folder()
    marker = windows_path(product.work) if product else None
    if os.path.isdir(folder):
        for name in sorted(os.listdir(folder)):
            path = os.path.join(folder, name)
            if name.endswith(".log") and os.path.getmtime(path) >= start - 1:
                with open(path, "rb") as f:
                    text = f.read().decode("utf-16", errors="replace")
                if marker is None or marker in text:
                    texts.append(text)
    return "\n".join(texts)


def unix_path(windows):
    """A C: or Z: path of the prefix as a Linux path."""
    if windows[:2].upper() == "Z:":
        return windows[2:].replace("\\", "/")
    if windows[:2].upper() == "C:":
        return os.path.join(PREFIX, "drive_c", windows[3:].replace("\\", "/"))
    raise ValueError(windows)
