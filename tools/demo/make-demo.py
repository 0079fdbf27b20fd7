#!/usr/bin/env python3
"""Makes the demo product: its payload, the served folder and the launcher's manifest.

Usage: make-demo.py --out DIR --base-url https://localhost:PORT --plugin SIGNED.dll
                    [--install-folder C:\\VekDemo\\Product] [--ui-mode SILENT]
Writes DIR/www/ (what the server serves: the plug-in and the payload files) and DIR/manifest.json.
Every file entry carries the SHA-256 of what is served, so the launcher validates each download.
"""
import argparse
import hashlib
import json
import os
import shutil
import uuid

PLUGIN_CLASS = "{C0239F12-0DE7-47DD-8B89-C16B6A1B4B40}"


def sha256(path):
    digest = hashlib.sha256()
    with open(path, "rb") as f:
        for block in iter(lambda: f.read(1 << 20), b""):
            digest.update(block)
    return digest.hexdigest()


def main():
    parser = argparse.ArgumentParser()
    parser.add_argument("--out", required=True)
    parser.add_argument("--base-url", required=True)
    parser.add_argument("--plugin", required=True)
    parser.add_argument("--install-folder", default="C:\\VekDemo\\Product")
    parser.add_argument("--ui-mode", default="SILENT")
    # The file type that names the installation plug-in: a 64-bit launcher loads "job_plugin64".
    parser.add_argument("--plugin-type", default="job_plugin2")
    parser.add_argument("--payload-size", type=int, default=3 * 1024 * 1024)
    args = parser.parse_args()

    www = os.path.join(args.out, "www")
    os.makedirs(www, exist_ok=True)
    shutil.copyfile(args.plugin, os.path.join(www, "VekDemoPlugin.dll"))
    with open(os.path.join(www, "readme.txt"), "w", newline="\r\n") as f:
        f.write("Vek demo product\nInstalled by the demo installation plug-in.\n")
    # A binary payload large enough to show progress and to be resumed.
    with open(os.path.join(www, "payload.bin"), "wb") as f:
        f.write(bytes(i % 251 for i in range(args.payload_size)))

    base = args.base_url.rstrip("/")

    def entry(name, **extra):
        item = {
            "source_file": base + "/" + name,
            "destination_file": name,
            "validation": {"type": "sha256", "data": sha256(os.path.join(www, name))},
        }
        item.update(extra)
        return item

    manifest_id = "{%s}" % str(uuid.uuid5(uuid.NAMESPACE_URL, "vek-demo")).upper()
    job_id = "{%s}" % str(uuid.uuid5(uuid.NAMESPACE_URL, "vek-demo-job")).upper()
    manifest = {
        "vek": {
            "global": {
                "manifest_id": manifest_id,
                "telemetry_product_name": "Vek Demo Product",
                "TRANSIENT_ERROR_RETRY_COUNT": 3,
                "hide_finish_page": 0,
            },
            "environment": {"PARAMS": "", "FINISHPAGEPARAMS": "", "ACTIVATIONURLPARAMS": ""},
            "bootstrap": {
                "run_location": "%INSTALLDIR%\\VekDemo",
                "download_folder": "VekDemoDownloads",
                "installed_vek": "VekLauncher.exe",
                "options": {
                    "install": "false",
                    "ask_location": "false",
                    "honor_restart": False,
                    "shouldCreateRunKey": False,
                    "shouldCreateRunTask": False,
                    "shouldCreateShortcuts": False,
                },
            },
            "job_array": [
                {
                    "job_id": job_id,
                    "job_type": "install",
                    "distribution": {
                        "product_display_name": "Vek Demo Product",
                        "job_description": "Vek Demo Product",
                        "ui_mode": args.ui_mode,
                        "product_lang": "system",
                        "cc_token": "VEKDEMO-0000-0000-0001",
                    },
                    "demo_install_folder": args.install_folder,
                    "file_array": [
                        entry("VekDemoPlugin.dll", type=args.plugin_type, clsid=PLUGIN_CLASS, file_priority=10),
                        entry("payload.bin", file_priority=5),
                        entry("readme.txt", file_priority=1),
                    ],
                }
            ],
        }
    }
    with open(os.path.join(args.out, "manifest.json"), "w") as f:
        json.dump(manifest, f, indent=2)
    print(os.path.join(args.out, "manifest.json"))


if __name__ == "__main__":
    main()
