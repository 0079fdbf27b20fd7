#!/usr/bin/env python3
"""End to end: the real packed and signed VekLauncher.exe under Wine against the local HTTPS test
server, installing a product through the demo installation plug-in."""
import os
import pwd
import re
import shlex
import subprocess
import sys
import time
import unittest

sys.path.insert(0, os.path.dirname(os.path.abspath(__file__)))
import vek_e2e as e2e  # noqa: E402

PAYLOAD = bytes(i % 251 for i in range(2 * 1024 * 1024 + 17))
REG_BASE = "HKLM\\Software\\Vallor\\Vek"
RUN_KEYS = ["HKLM\\Software\\Microsoft\\Windows\\CurrentVersion\\Run",
            "HKCU\\Software\\Microsoft\\Windows\\CurrentVersion\\Run"]


def files_below(folder):
    found = {}
    for base, _, names in os.walk(folder):
        for name in names:
            found.setdefault(name, []).append(os.path.join(base, name))
    return found


def run_values(manifest_id):
    """The launcher's Run values of that manifest, in the machine's and in the user's Run key."""
    return {name: value for key in RUN_KEYS for name, value in (e2e.reg_values(key) or {}).items()
            if name.startswith("Vallor Download Manager") and manifest_id in name}


class Install(unittest.TestCase):
    def test_silent_install_resumes_a_cut_download_and_cleans_up(self):
        product = e2e.Product("silent")
        product.add_plugin()
        product.add_file("payload.bin", PAYLOAD, file_priority=5)
        # The first transfer of the payload is cut after 1 MiB; the launcher resumes it with Range.
        # (A scenario counts every request of its path, the size query too.)
        e2e.control("/_control/scenario", {"path": product.prefix + "payload.bin", "drop_after": 1 << 20,
                                           "times": 2})
        exe = product.launcher()
        started = time.time()
        code, output = e2e.run_launcher(exe, "/SILENT")
        log = e2e.log_text_since(started, product)
        self.assertEqual(0, code, log[-4000:])
        with open(os.path.join(product.install_folder, "payload.bin"), "rb") as f:
            self.assertEqual(PAYLOAD, f.read())
        with open(os.path.join(product.install_folder, "install.log")) as f:
            self.assertIn("installation finished", f.read())
        gets = [r for r in e2e.request_log(product.prefix + "payload.bin") if r["method"] == "GET"]
        ranges = [h[1] for r in gets for h in r["headers"] if h[0].lower() == "range"]
        self.assertTrue(any(v.startswith("bytes=") and not v.startswith("bytes=0-") for v in ranges), ranges)
        # A finished run leaves no job keys, no state file and no Run value behind.
        self.assertIsNone(e2e.reg_values(REG_BASE + "\\" + product.manifest_id + "\\" + product.job_id))
        state_files = [n for n in os.listdir(e2e.data_folder()) if product.manifest_id.strip("{}") in n]
        self.assertEqual([], state_files)
        self.assertIn("VEK exited. Error code: 0", log)

    def test_data_folder_of_another_account_keeps_the_lock_and_the_log(self):
        """A data folder (and its lock folder) that another account made, as a standard user's
        earlier run does: a run with full rights (every run under Wine has them) takes its lock,
        writes its log and finishes."""
        try:
            nobody = pwd.getpwnam("nobody").pw_uid
        except KeyError:
            self.skipTest("no account to give the data folder to")
        folder = e2e.data_folder()
        lock_folder = os.path.join(folder, "_lck")
        os.makedirs(lock_folder, exist_ok=True)
        for given in ([folder], [folder, lock_folder]):
            with self.subTest(given=[os.path.basename(f) for f in given]):
                owners = {f: os.stat(f).st_uid for f in given}
                try:
                    for f in given:
                        os.chown(f, nobody, -1)
                except PermissionError:
                    self.skipTest("only root can give the data folder to another account")
                try:
                    product = e2e.Product("foreigndata")
                    product.add_plugin()
                    product.add_file("payload.bin", PAYLOAD, file_priority=5)
                    exe = product.launcher()
                    started = time.time()
                    code, _ = e2e.run_launcher(exe, "/SILENT")
                    log = e2e.log_text_since(started, product)
                    self.assertEqual(0, code, log[-4000:])
                    self.assertIn("VEK exited. Error code: 0", log)
                    with open(os.path.join(product.install_folder, "payload.bin"), "rb") as f:
                        self.assertEqual(PAYLOAD, f.read())
                finally:
                    for f, owner in owners.items():
                        os.chown(f, owner, -1)

    def test_digest_mismatch_fails_the_run_and_installs_nothing(self):
        product = e2e.Product("digest")
        product.add_plugin()
        entry = product.add_file("payload.bin", PAYLOAD, file_priority=5)
        entry["validation"]["data"] = "0" * 64
        exe = product.launcher()
        code, _ = e2e.run_launcher(exe, "/SILENT")
        self.assertNotEqual(0, code)
        self.assertFalse(os.path.exists(os.path.join(product.install_folder, "payload.bin")))
        # The file that failed validation is not left in the download folder.
        self.assertNotIn("payload.bin", files_below(product.run_location))

    def test_killed_during_a_download_then_started_again(self):
        product = e2e.Product("killed")
        product.add_plugin()
        product.add_file("payload.bin", PAYLOAD, file_priority=5)
        e2e.control("/_control/scenario", {"path": product.prefix + "payload.bin", "pause_after": 1 << 20,
                                           "pause": 60, "times": 2})
        exe = product.launcher(manifest=product.manifest(options={"shouldCreateRunKey": True}))
        process = e2e.start_launcher(exe, "/SILENT")
        try:
            self.assertTrue(e2e.wait_until(
                lambda: any(r["method"] == "GET" for r in e2e.request_log(product.prefix + "payload.bin")), 120))
            time.sleep(2)
            # While it runs the launcher keeps its Run value for a start at logon.
            self.assertTrue(run_values(product.manifest_id), "no Run value while the download runs")
        finally:
            e2e.kill_windows_process(exe)
            process.wait(timeout=60)
        # Nothing partial stands under the file's own name.
        for path in files_below(product.run_location).get("payload.bin", []):
            with open(path, "rb") as f:
                self.assertEqual(PAYLOAD, f.read(), path)
        self.assertFalse(os.path.exists(os.path.join(product.install_folder, "payload.bin")))

        code, _ = e2e.run_launcher(exe, "/SILENT")
        self.assertEqual(0, code)
        with open(os.path.join(product.install_folder, "payload.bin"), "rb") as f:
            self.assertEqual(PAYLOAD, f.read())
        self.assertEqual({}, run_values(product.manifest_id))


class Outcome(unittest.TestCase):
    def run_plugin_status(self, name, status, relaunch):
        """Runs a product whose plug-in reports running once, then the status; answers the exit
        code of the launcher that ran the installation (the relaunched copy, with relaunch) and
        the log."""
        product = e2e.Product(name)
        product.add_scripted_plugin("running 1\nstatus %d\nerror 0x80004005\n" % status)
        options = {"install": "true", "honor_restart": True} if relaunch else None
        exe = product.launcher(manifest=product.manifest(options=options))
        started = time.time()
        code, _ = e2e.run_launcher(exe, "/SILENT")
        if relaunch:
            # The copy goes on after this process ended: wait for both ends.
            e2e.wait_until(lambda: len(e2e.exit_codes(e2e.log_text_since(started, product))) >= 2, 180)
        log = e2e.log_text_since(started, product)
        codes = e2e.exit_codes(log)
        self.assertEqual(2 if relaunch else 1, len(codes), log[-4000:])
        if not relaunch:
            self.assertEqual(code, codes[-1])
        return codes[-1], log

    def test_only_a_finished_installation_exits_0(self):
        # Plug-in status -> does the run succeed. -1 fails loudly, -2 quietly, 0 never started.
        rows = [(3, True), (-1, False), (-2, False), (0, False)]
        failures = set()
        for status, success in rows:
            with self.subTest(status=status):
                code, log = self.run_plugin_status("status%d" % status if status >= 0 else "status_%d" % -status,
                                                   status, relaunch=False)
                self.assertEqual(success, code == 0, log[-4000:])
                if not success:
                    failures.add(code)
        # Every failure ends the same way.
        self.assertEqual(1, len(failures), failures)

    def test_relaunched_copy_whose_installation_failed_does_not_exit_0(self):
        code, log = self.run_plugin_status("relaunchfail", 0, relaunch=True)
        self.assertNotEqual(0, code, log[-4000:])
        self.assertIn("Attempting to relaunch VEK as", log)


class StartUp(unittest.TestCase):
    def test_second_launcher_of_the_same_manifest_waits_then_exits_9(self):
        product = e2e.Product("second")
        product.add_plugin()
        # Every request of the payload stalls past the client's 30 s receive time-out, and the
        # launcher retries it three times: the first launcher stays busy for about two minutes,
        # longer than the 60 s that the second one waits for it.
        product.add_file("payload.bin", PAYLOAD, file_priority=5)
        e2e.control("/_control/scenario", {"path": product.prefix + "payload.bin", "stall": 45, "times": 10})
        exe = product.launcher()
        first = e2e.start_launcher(exe, "/SILENT")
        try:
            self.assertTrue(e2e.wait_until(lambda: e2e.request_log(product.prefix + "payload.bin"), 120))
            started = time.time()
            code, _ = e2e.run_launcher(exe, "/SILENT", timeout=200)
            self.assertEqual(9, code, e2e.log_text_since(started, product)[-3000:])
        finally:
            e2e.kill_windows_process(exe)
            first.wait(timeout=60)

    def test_show_restart_prompt_never_starts_the_engine(self):
        product = e2e.Product("restartprompt")
        product.add_plugin()
        exe = product.launcher()
        started = time.time()
        e2e.run_launcher(exe, "/SHOW_RESTART_PROMPT", "/SILENT")
        self.assertEqual([], e2e.request_log(product.prefix))
        self.assertNotIn("creating VekJobEngine object", e2e.log_text_since(started, product))

    def test_restart_prompt_left_by_the_user_goes_through_the_exit_sequence(self):
        # Leaving the restart prompt and confirming gives exit code 8, one of the codes for which a
        # launcher started by the deployment package removes that package on its way out. Wine
        # knows no such package, so the removal ends at its log lines.
        # The switch counts, not its name inside another switch's value.
        removal = "DeploymentMSI product code is not found."
        cases = [("exitbymsi", ["/EXECUTED_BY_MSI"], True), ("exitplain", [], False),
                 ("exitbyvalue", ["/INSTALLER_OPTIONS", "EXECUTED_BY_MSI"], False)]
        for name, switches, removes in cases:
            with self.subTest(switches=" ".join(switches) or "none"):
                product = e2e.Product(name)
                exe = product.launcher()
                started = time.time()
                launcher = e2e.start_launcher(exe, "/SHOW_RESTART_PROMPT", "5", *switches)
                try:
                    closer, _ = e2e.wine_tool(os.path.join(e2e.BIN, "e2e_close_and_confirm.exe"),
                                              e2e.windows_path(exe))
                    self.assertEqual(0, closer)
                    code = launcher.wait(timeout=120)
                finally:
                    e2e.kill_windows_process(exe)
                log = e2e.log_text_since(started, product)
                self.assertEqual(8, code, log[-3000:])
                self.assertEqual([8], e2e.exit_codes(log))
                self.assertEqual(removes, removal in log, log[-3000:])

    def test_switch_names_inside_a_value_are_no_switches(self):
        # The installer's options name the restart prompt and the deployment package: the run
        # still installs, and removes no package on its way out.
        product = e2e.Product("switchvalue")
        product.add_plugin()
        product.add_file("payload.bin", PAYLOAD, file_priority=5)
        exe = product.launcher()
        started = time.time()
        code, _ = e2e.run_launcher(exe, "/SILENT", "/INSTALLER_OPTIONS", "/SHOW_RESTART_PROMPT /EXECUTED_BY_MSI")
        log = e2e.log_text_since(started, product)
        self.assertEqual(0, code, log[-3000:])
        with open(os.path.join(product.install_folder, "payload.bin"), "rb") as f:
            self.assertEqual(PAYLOAD, f.read())
        self.assertNotIn("DeploymentMSI product code is not found.", log)

    def test_scheduled_run_past_the_reboot_limit_ends_with_the_clean_up(self):
        # A start at logon (/m) with the schedule switch whose reboot count is already at its
        # limit: the bootstrap cleans up, and the process ends instead of waiting for a window.
        product = e2e.Product("rebootlimit")
        product.add_plugin()
        exe = product.launcher()
        key = "HKCU\\Software\\Vallor\\Vek\\" + product.manifest_id
        seeded, _ = e2e.wine_tool("reg", "add", key, "/v", "VDMCount", "/t", "REG_DWORD", "/d", "5", "/f")
        self.assertEqual(0, seeded)
        started = time.time()
        try:
            code, _ = e2e.run_launcher(exe, "/m", "/SCHEDULE_TO", "1", "/SILENT", timeout=180)
        except subprocess.TimeoutExpired:
            self.fail("the scheduled run did not end: " + e2e.log_text_since(started, product)[-3000:])
        finally:
            e2e.wine_tool("reg", "delete", key, "/f")
        log = e2e.log_text_since(started, product)
        self.assertIn("Got hr == VEK_E_CLEANUP, exiting", log, log[-3000:])
        self.assertEqual([code], e2e.exit_codes(log))
        self.assertEqual([], e2e.request_log(product.prefix))

    def test_package_folder_that_cannot_be_made_exits_16(self):
        # The package is built where /EXTRACT_PATH says; a name the system refuses cannot be made.
        product = e2e.Product("badpackage")
        product.add_plugin()
        exe = product.launcher(manifest=product.manifest(options={"ask_location": "true"}))
        started = time.time()
        code, _ = e2e.run_launcher(exe, "/SILENT", "/EXTRACT_PATH", e2e.windows_path(product.work) + "\\a|b")
        log = e2e.log_text_since(started, product)
        self.assertEqual(16, code, log[-3000:])
        self.assertEqual([16], e2e.exit_codes(log))
        self.assertEqual([], e2e.request_log(product.prefix))

    def test_companion_branch_writes_no_start_record(self):
        product = e2e.Product("companion")
        exe = product.launcher()
        started = time.time()
        package = os.path.join(product.work, "package")
        os.makedirs(package)
        e2e.run_launcher(exe, "/INSTALL_WOX_APP", "/FORCE_LOGGING", "/WOX_PACKAGE_PATH", e2e.windows_path(package))
        # No start record names this launcher, in any log written meanwhile.
        starts = [line for line in e2e.log_text_since(started).splitlines()
                  if "Starting..." in line and e2e.windows_path(exe) in line]
        self.assertEqual([], starts)
        self.assertEqual([], e2e.request_log(product.prefix))


class Bootstrap(unittest.TestCase):
    def bootstrap_product(self, name):
        product = e2e.Product(name)
        product.add_plugin()
        product.add_file("payload.bin", PAYLOAD, file_priority=5)
        manifest = product.manifest(options={"install": "true", "honor_restart": True})
        return product, manifest

    def test_copy_in_the_run_location_is_relaunched_with_r(self):
        product, manifest = self.bootstrap_product("bootcopy")
        exe = product.launcher(manifest=manifest)
        started = time.time()
        e2e.run_launcher(exe, "/SILENT")
        # The copy goes on after this process ended: wait for its installation.
        log_path = os.path.join(product.install_folder, "install.log")
        def installed():
            if not os.path.exists(log_path):
                return False
            with open(log_path) as f:
                return "installation finished" in f.read()
        self.assertTrue(e2e.wait_until(installed, 180))
        # Both processes end: this one and the copy.
        e2e.wait_until(lambda: e2e.log_text_since(started, product).count("VEK exited.") >= 2, 120)
        copies = files_below(product.run_location).get("VekLauncher.exe", [])
        self.assertTrue(copies, "no launcher copy in the run location")
        log = e2e.log_text_since(started, product)
        self.assertIn("Attempting to relaunch VEK as", log)
        self.assertIn("/r", log[log.index("Attempting to relaunch VEK as"):][:600])

    def test_unsigned_launcher_is_not_copied_or_relaunched(self):
        product, manifest = self.bootstrap_product("bootunsigned")
        exe = product.launcher(manifest=manifest, signer=None)
        started = time.time()
        code, _ = e2e.run_launcher(exe, "/SILENT")
        self.assertNotEqual(0, code)
        self.assertNotIn("VekLauncher.exe", files_below(product.run_location))
        self.assertNotIn("Attempting to relaunch VEK as", e2e.log_text_since(started, product))
        self.assertEqual([], e2e.request_log(product.prefix + "payload.bin"))


class CustomerToken(unittest.TestCase):
    """The token given with /CC_TOKEN goes on to the relaunched copy and into the run task's
    arguments (the copies need it), and nowhere else: not into a log line, not into a URL file.
    Wine cannot store the run task (its boot trigger answers E_NOTIMPL) and a successful run removes
    it again, so the scheduled run is started here with the arguments the launcher logged for it."""
    SECRET = "E2E-S3CR3T-T0KEN-%d" % os.getpid()

    def wait_for_exits(self, started, product, count):
        e2e.wait_until(lambda: e2e.log_text_since(started, product).count("VEK exited.") >= count, 180)

    def test_token_through_a_relaunch_and_a_scheduled_run(self):
        product = e2e.Product("token")
        product.add_plugin()
        product.add_file("payload.bin", PAYLOAD, file_priority=5)
        e2e.put_file(product.prefix + "report", b"ok")
        manifest = product.manifest(options={"install": "true", "honor_restart": True, "shouldCreateRunTask": True})
        manifest["vek"]["global"]["reporting_url"] = e2e.https_url(product.prefix + "report")
        exe = product.launcher(manifest=manifest)
        url_files_before = set(n for n in os.listdir(e2e.data_folder()) if n.startswith("URLS-")) \
            if os.path.isdir(e2e.data_folder()) else set()
        started = time.time()
        # The first run copies itself and relaunches the copy with the switches; both register
        # the run task with the token in its arguments.
        e2e.run_launcher(exe, "/SILENT", "/CC_TOKEN", self.SECRET)
        self.wait_for_exits(started, product, 2)
        log = e2e.log_text_since(started, product)
        self.assertIn('Attempting to relaunch VEK as', log)
        registered = re.search(r"Registering the run task for .* with (.*)", log)
        self.assertIsNotNone(registered, log[-3000:])
        self.assertIn('/CC_TOKEN "********"', registered.group(1))
        self.assertNotIn(self.SECRET, log)

        # The scheduled run, with the arguments of the task and the real token.
        arguments = registered.group(1).strip().replace('"********"', self.SECRET)
        scheduled = time.time()
        e2e.run_launcher(exe, *shlex.split(arguments))
        self.wait_for_exits(scheduled, product, 1)
        log = e2e.log_text_since(started, product)
        self.assertIn('/CC_TOKEN "********"', log)
        self.assertNotIn(self.SECRET, log)
        url_files = [n for n in os.listdir(e2e.data_folder())
                     if n.startswith("URLS-") and (product.manifest_id in n or n not in url_files_before)]
        self.assertTrue(url_files)
        for name in url_files:
            with open(os.path.join(e2e.data_folder(), name), "rb") as f:
                self.assertNotIn(self.SECRET.encode(), f.read(), name)


if __name__ == "__main__":
    unittest.main(verbosity=2)
