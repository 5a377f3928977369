"""The installer package under Wine's own msiexec, in a Wine prefix of its own.

Environment (the module is skipped when one of the first four is missing):
  DEPLOY_MSI      the package to test, named VantorelAdBar-<version>.msi
  DEPLOY_MSI_OLD  the same product stamped with a lower version
  WINE32_RUN      runs a Windows program under a 32-bit-capable Wine (build/wine32/wine32-run)
  BARPEER         prints the bar's window rectangle for "<peer> rect"; exits 1 when no bar runs
  DEPLOY_PREFIX   the prefix, made once when missing (default: wineprefix-deploy beside DEPLOY_MSI)
  DISPLAY         an X display with no window manager: the prefix gets a 1024x768 virtual desktop
"""
import os, re, shutil, subprocess, time, unittest

MSI, OLD, RUN, PROBE = (os.environ.get(v, "") for v in ("DEPLOY_MSI", "DEPLOY_MSI_OLD", "WINE32_RUN", "BARPEER"))
PREFIX = os.environ.get("DEPLOY_PREFIX") or os.path.join(os.path.dirname(os.path.abspath(MSI)), "wineprefix-deploy")
ENV = dict(os.environ, WINEPREFIX=PREFIX)
RUN_KEY = r"HKLM\Software\Microsoft\Windows\CurrentVersion\Run"
UNINSTALL_KEY = r"HKLM\Software\Microsoft\Windows\CurrentVersion\Uninstall"


def wine(*args, timeout=120):
    return subprocess.run([RUN, *args], env=ENV, capture_output=True, text=True, timeout=timeout)


def version(msi):
    return re.search(r"-(\d+\.\d+\.\d+)\.msi$", msi).group(1)


def until(check, timeout=30):
    end = time.monotonic() + timeout
    while not check() and time.monotonic() < end:
        time.sleep(0.2)
    return check()


def run_command():
    out = wine("reg", "query", RUN_KEY, "/v", "Vantorel Ad Bar", "/reg:32").stdout
    return next((l.split("REG_SZ", 1)[1].strip() for l in out.splitlines() if "REG_SZ" in l), None)


def products():
    """DisplayVersion by product code of every Vantorel Ad Bar in the installed-programs list."""
    out = wine("reg", "query", UNINSTALL_KEY, "/s", "/reg:32").stdout
    blocks = [(b.split("\n", 1)[0].rsplit("\\", 1)[-1], dict(re.findall(r"^ +(\w+) +REG_\w+ *(.*?) *$", b, re.M)))
              for b in out.split("\nHKEY_")]
    return {key: e.get("DisplayVersion") for key, e in blocks if e.get("DisplayName") == "Vantorel Ad Bar"}


def unix_path(windows_path):
    return os.path.join(PREFIX, "drive_c", *windows_path.strip('"')[3:].split("\\"))


def setUpModule():
    if not all((MSI, OLD, RUN, PROBE)):
        raise unittest.SkipTest("DEPLOY_MSI, DEPLOY_MSI_OLD, WINE32_RUN and BARPEER name the package under test")
    if not os.path.exists(os.path.join(PREFIX, ".deploy-ready")):
        shutil.rmtree(PREFIX, ignore_errors=True)
        wine("wineboot", "-i")
        wine("reg", "add", r"HKCU\Software\Wine\Explorer", "/v", "Desktop", "/d", "Default", "/f")
        wine("reg", "add", r"HKCU\Software\Wine\Explorer\Desktops", "/v", "Default", "/d", "1024x768", "/f")
        subprocess.run(["/usr/lib/wine/wineserver", "-w"], env=ENV)
        open(os.path.join(PREFIX, ".deploy-ready"), "w").close()
    subprocess.run(["/usr/lib/wine/wineserver", "-k"], env=ENV, stderr=subprocess.DEVNULL)
    subprocess.run(["/usr/lib/wine/wineserver", "-p"], env=ENV)
    # The desktop and services start now, so they hold no test's output pipes open.
    subprocess.run([RUN, "cmd", "/c", "exit"], env=ENV, stdout=subprocess.DEVNULL, stderr=subprocess.DEVNULL)


def tearDownModule():
    subprocess.run(["/usr/lib/wine/wineserver", "-k"], env=ENV)


class Deploy(unittest.TestCase):
    def setUp(self):
        for code in products():  # whatever an earlier run left installed
            wine("msiexec", "/x", code, "/qn")

    def test_silent_install_starts_a_docked_bar_at_sign_in_refuses_a_downgrade_and_uninstall_ends_it(self):
        self.assertEqual(wine("msiexec", "/i", MSI, "/qn").returncode, 0)
        self.assertNotEqual(wine("msiexec", "/i", OLD, "/qn").returncode, 0)
        folder = os.path.dirname(unix_path(run_command() or self.fail("no Run value")))
        self.assertEqual(sorted(os.listdir(folder)), ["README.md", "VantorelAdBar.exe", "barctl.exe"])
        self.assertEqual(list(products().values()), [version(MSI)])
        bar = subprocess.Popen([RUN, run_command().strip('"')], env=ENV)
        try:
            self.assertTrue(until(lambda: wine(PROBE, "rect").stdout.split() == ["0", "0", "1024", "75"]))
            self.assertEqual(wine("msiexec", "/x", MSI, "/qn").returncode, 0)
            self.assertEqual(bar.wait(timeout=30), 0)
        finally:
            bar.kill()
        self.assertFalse(os.path.exists(folder))
        self.assertIsNone(run_command())
        self.assertEqual(list(products().values()), [])

    def test_upgrade_replaces_the_older_version(self):
        self.assertEqual(wine("msiexec", "/i", OLD, "/qn").returncode, 0)
        self.assertEqual(list(products().values()), [version(OLD)])
        self.assertEqual(wine("msiexec", "/i", MSI, "/qn").returncode, 0)
        self.assertEqual(list(products().values()), [version(MSI)])
        self.assertTrue(os.path.isfile(unix_path(run_command())))
