#!/usr/bin/env python3
"""End to end: the real packed and signed VekLauncher.exe under Wine against the local HTTPS test
server, installing a product through the demo installation plug-in."""
import os
import sys
import unittest

sys.path.insert(0, os.path.dirname(os.path.abspath(__file__)))
import vek_e2e as e2e  # noqa: E402

PAYLOAD = bytes(i % 251 for i in range(2 * 1024 * 1024 + 17))


class SilentInstall(unittest.TestCase):
    def test_installs_the_payload_and_resumes_a_cut_download(self):
        product = e2e.Product("silent")
        product.add_plugin()
        product.add_file("payload.bin", PAYLOAD, file_priority=5)
        # The first transfer of the payload is cut after 1 MiB; the launcher resumes it with Range.
        e2e.control("/_control/scenario", {"path": product.prefix + "payload.bin", "drop_after": 1 << 20,
                                           "times": 1})
        exe = product.launcher()
        code, output = e2e.run_launcher(exe, "/SILENT")
        self.assertEqual(0, code, output)
        with open(os.path.join(product.install_folder, "payload.bin"), "rb") as f:
            self.assertEqual(PAYLOAD, f.read())
        gets = [r for r in e2e.request_log(product.prefix + "payload.bin") if r["method"] == "GET"]
        ranges = [h[1] for r in gets for h in r["headers"] if h[0].lower() == "range"]
        self.assertTrue(any(value.startswith("bytes=") and not value.startswith("bytes=0-") for value in ranges),
                        ranges)


if __name__ == "__main__":
    unittest.main(verbosity=2)
