# The installer under Wine's own msiexec, in a Wine prefix of its own (beside the
# packages; tools/wine32-env.sh makes it once). DEPLOY_MSI is the package under
# test, DEPLOY_MSI_OLD the same product stamped with a lower version, DEPLOY_MSI_OTHER the
# same version built in a tree of its own (beside it, in win32) for another ad server.
import os
import re
import subprocess
import unittest
from pathlib import Path

import harness as h

MSI, OLD, OTHER = (os.environ.get(k, "") for k in ("DEPLOY_MSI", "DEPLOY_MSI_OLD", "DEPLOY_MSI_OTHER"))
VERSION = os.path.basename(MSI)[14:-4]
PREFIX = os.path.join(os.path.dirname(MSI), "wineprefix-deploy")
RUN_KEY = r"HKLM\Software\Microsoft\Windows\CurrentVersion\Run"


def msiexec(*args):
    return h.run("msiexec", *args, "/qn")[0]


def run_value():
    out = h.run("reg", "query", RUN_KEY, "/v", "Vantorel Ad Bar", "/reg:32")[1]
    m = re.search(r'REG_SZ\s+"?([^"\r\n]*)', out)
    return m and m.group(1)


def installed():
    # {product code: version} of Vantorel Ad Bar in the installed-programs list.
    out = h.run("reg", "query", r"HKLM\Software\Microsoft\Windows\CurrentVersion\Uninstall", "/s", "/reg:32")[1]
    return dict(re.findall(r"\\(\{[-\w]+\})\s+(?:(?!HKEY_).)*?DisplayName\s+REG_SZ\s+Vantorel Ad Bar\s"
                           r"(?:(?!HKEY_).)*?DisplayVersion\s+REG_SZ\s+(\S+)", out, re.S))


def on_disk(path):
    return os.path.join(PREFIX, "drive_c", *path[3:].split("\\"))


def setUpModule():
    if not all(map(os.path.isfile, (MSI, OLD, OTHER))):
        raise unittest.SkipTest("no packages (DEPLOY_MSI, DEPLOY_MSI_OLD, DEPLOY_MSI_OTHER)")
    os.environ["WINEPREFIX"] = PREFIX     # made by the test command
    subprocess.run(["wineserver", "-p"], stdin=subprocess.DEVNULL, stdout=subprocess.DEVNULL, stderr=subprocess.DEVNULL)
    # The desktop and the services start here, away from the pipes of the calls whose output is read.
    subprocess.run([h.WINE_RUN, "cmd", "/c", "exit"], stdout=subprocess.DEVNULL, stderr=subprocess.DEVNULL)


def tearDownModule():
    subprocess.run(["wineserver", "-k"])


class DeployTest(unittest.TestCase):
    def setUp(self):
        for code in installed():    # what a failed run left behind
            msiexec("/x", code)

    def test_install_starts_a_docked_bar_at_sign_in_refuses_a_downgrade_a_repair_leaves_it_uninstall_ends_it(self):
        self.assertEqual(msiexec("/i", MSI), 0)
        self.assertNotEqual(msiexec("/i", OLD), 0, "a downgrade was taken")
        exe = run_value()
        self.assertEqual(sorted(os.listdir(os.path.dirname(on_disk(exe)))), ["README.md", "VantorelAdBar.exe", "barctl.exe"])
        self.assertEqual(list(installed().values()), [VERSION])
        bar = h.Bar(exe=exe)
        self.assertEqual(bar.wait_rect(h.TOP, 30), h.TOP)
        self.assertEqual(msiexec("/i", MSI, "REINSTALL=ALL"), 0)
        self.assertEqual(bar.wait_rect(h.TOP, 0), h.TOP, "the repair ended the bar")
        self.assertEqual(msiexec("/x", MSI), 0)
        self.assertEqual(bar.wait_exit(), 0, "the uninstall did not end the bar")
        self.assertEqual((os.path.exists(os.path.dirname(on_disk(exe))), run_value(), installed()), (False, None, {}))

    def test_upgrades_of_a_newer_or_the_same_version_replace_in_the_folder_first_given_and_end_the_bar(self):
        folder = "C:\\Some Folder\\Bar"
        self.assertEqual(msiexec("/i", OLD, f"INSTALLDIR={folder}"), 0)
        self.assertEqual(msiexec("/i", MSI), 0)
        exe = run_value()
        self.assertEqual((exe, list(installed().values())), (folder + "\\VantorelAdBar.exe", [VERSION]))
        bar = h.Bar(exe=exe)
        self.assertEqual(bar.wait_rect(h.TOP, 30), h.TOP)
        self.assertEqual(msiexec("/i", OTHER), 0)
        self.assertEqual(bar.wait_exit(), 0, "the upgrade did not end the bar")
        self.assertEqual((run_value(), list(installed().values())), (exe, [VERSION]))
        got = Path(on_disk(exe)).read_bytes()
        self.assertEqual(got, Path(OTHER).parent.joinpath("win32", "VantorelAdBar.exe").read_bytes())
        self.assertNotEqual(got, Path(h.BAR_EXE).read_bytes())
        self.assertEqual(msiexec("/x", OTHER), 0)
        self.assertEqual((os.path.exists(os.path.dirname(on_disk(exe))), installed()), (False, {}))
