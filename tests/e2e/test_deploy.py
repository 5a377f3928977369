# The installer under Wine's own msiexec, in a Wine prefix of its own (beside the
# packages; tools/wine32-env.sh makes it once). DEPLOY_MSI is the package under
# test, DEPLOY_MSI_OLD the same product stamped with a lower version.
import os
import re
import subprocess
import unittest

import harness as h

MSI, OLD = os.environ.get("DEPLOY_MSI", ""), os.environ.get("DEPLOY_MSI_OLD", "")
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
    if not (os.path.isfile(MSI) and os.path.isfile(OLD)):
        raise unittest.SkipTest("no packages (DEPLOY_MSI, DEPLOY_MSI_OLD)")
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

    def test_install_starts_a_docked_bar_at_sign_in_refuses_a_downgrade_and_uninstall_ends_it(self):
        self.assertEqual(msiexec("/i", MSI), 0)
        self.assertNotEqual(msiexec("/i", OLD), 0, "a downgrade was taken")
        exe = run_value()
        self.assertEqual(sorted(os.listdir(os.path.dirname(on_disk(exe)))), ["README.md", "VantorelAdBar.exe", "barctl.exe"])
        self.assertEqual(list(installed().values()), [os.path.basename(MSI)[14:-4]])
        bar = h.Bar(exe=exe)
        self.assertEqual(bar.wait_rect(h.TOP, 30), h.TOP)
        self.assertEqual(msiexec("/x", MSI), 0)
        self.assertEqual(bar.wait_exit(), 0, "the uninstall did not end the bar")
        self.assertEqual((os.path.exists(os.path.dirname(on_disk(exe))), run_value(), installed()), (False, None, {}))

    def test_upgrade_replaces_the_older_version(self):
        self.assertEqual(msiexec("/i", OLD), 0)
        self.assertEqual(msiexec("/i", MSI), 0)
        self.assertEqual(list(installed().values()), [os.path.basename(MSI)[14:-4]])
        self.assertTrue(os.path.isfile(on_disk(run_value())))
        self.assertEqual(msiexec("/x", MSI), 0)
