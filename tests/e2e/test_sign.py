# The package build's signing. tools/test.sh signs the suite's packages with a
# throwaway CA's certificate (pki/ beside the packages) and leaves the CA's
# `openssl ca` configuration there, from which the bad certificates below come.
# That the signed i686 exe still starts and docks, every e2e test of that tree shows.
import os
import re
import subprocess
import tempfile
import unittest
from pathlib import Path

MSI, OLD = (Path(os.environ.get(k, "")) for k in ("DEPLOY_MSI", "DEPLOY_MSI_OLD"))
PKI = MSI.parent / "pki"
PACKAGE_SH = Path(__file__).resolve().parents[2] / "tools" / "package.sh"


def run(*args, **kw):
    return subprocess.run([str(a) for a in args], capture_output=True, **kw)


def signatures(path):
    # Valid signatures chaining to the throwaway CA; 0 for none or a broken one.
    r = run("osslsigncode", "verify", "-CAfile", PKI / "ca.pem", "-in", path, text=True)
    m = re.search(r"Number of verified signatures: (\d+)", r.stdout)
    return int(m.group(1)) if r.returncode == 0 and m else 0


def setUpModule():
    if not (MSI.is_file() and OLD.is_file() and (PKI / "signer.pfx").is_file()):
        raise unittest.SkipTest("no signed packages (DEPLOY_MSI, DEPLOY_MSI_OLD and pki/ beside them: tools/test.sh)")


class SignTest(unittest.TestCase):
    def test_the_packages_and_the_programs_packed_in_them_carry_one_valid_signature_each(self):
        # Catches programs packed before they were signed, a package left unsigned, and a signature
        # nested on the last one (the older package is the second that the test command packs from the tree).
        for msi in (MSI, OLD):
            with self.subTest(msi.name), tempfile.TemporaryDirectory() as d:
                run("msiextract", "-C", d, msi, check=True)
                Path(d, "barctlw.exe").write_bytes(run("msiinfo", "extract", msi, "Binary.barctlw.exe", check=True).stdout)
                got = {p.name: signatures(p) for p in [msi, *Path(d).rglob("*.exe")]}
                self.assertEqual(got, {msi.name: 1, "VantorelAdBar.exe": 1, "barctl.exe": 1, "barctlw.exe": 1})

    def test_a_key_that_windows_would_not_trust_fails_the_build_with_one_line_and_leaves_no_package(self):
        # Catches osslsigncode's silence on such certificates, and a package (an earlier one, or
        # this one unsigned) left where a deployment would take it.
        cases = [  # name, `openssl ca` options for the signer's certificate (None: the suite's), password, said
            ("wrong password", None, "not the password", "a wrong password, or not a PKCS#12 file"),
            ("expired", ["-extensions", "codesign", "-startdate", "20200101000000Z", "-enddate", "20210101000000Z"],
             None, "expired on Jan  1 00:00:00 2021 GMT"),
            ("not for code signing", ["-extensions", "tls", "-days", "30"],
             None, "is not for code signing"),
        ]
        with tempfile.TemporaryDirectory() as d:
            d = Path(d)
            (d / "win32").mkdir()     # a tree that cannot build: the checks come first
            (d / "win32" / "CMakeCache.txt").write_text("CMAKE_PROJECT_VERSION:STATIC=1.0.0\n")
            for name, ca_options, password, said in cases:
                with self.subTest(name):
                    pfx, pass_file = PKI / "signer.pfx", PKI / "pass"
                    if ca_options:
                        pfx = d / "signer.pfx"
                        run("openssl", "ca", "-batch", "-config", PKI / "ca.cnf", *ca_options,
                            "-in", PKI / "signer.csr", "-out", d / "signer.pem", check=True)
                        run("openssl", "pkcs12", "-export", "-inkey", PKI / "signer.key", "-in", d / "signer.pem",
                            "-passout", f"file:{pass_file}", "-out", pfx, check=True)
                    if password:
                        pass_file = d / "pass"
                        pass_file.write_text(password + "\n")
                    package = d / "VantorelAdBar-1.0.0.msi"
                    package.write_bytes(b"an earlier build's package")
                    r = run(PACKAGE_SH, text=True, env={**os.environ, "BAR_BUILD": str(d), "BAR_SIGN_PFX": str(pfx),
                                                       "BAR_SIGN_PASS_FILE": str(pass_file)})
                    self.assertEqual((r.returncode, package.exists()), (2, False), r.stderr)
                    self.assertRegex(r.stderr, rf"\Apackage: [^\n]*{re.escape(said)}[^\n]*\n\Z")
