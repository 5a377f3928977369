# The ads over HTTPS: nginx from the deployed template with certificates of throwaway CAs, and the bar
# built for https://localhost:PORT. The x86_64 tree only: TLS is the platform's, and the bar's code is
# the same for either scheme. The ad check over https, with and without --cafile, runs in the
# operator's page (tests/server/test_manual.py).
import os
import re
import shutil
import subprocess
import tempfile
import unittest

import harness as h

ROOT = os.path.join(os.path.dirname(os.path.abspath(__file__)), "..", "..")
EXE = os.environ.get("BAR_HTTPS_EXE", "")


def run(*args, cwd=None):
    p = subprocess.run(args, cwd=cwd, capture_output=True, text=True, timeout=120)
    return p.returncode, p.stdout + p.stderr


class HttpsTest(h.BarTest):
    def test_ads_only_through_a_certificate_of_a_trusted_ca_and_a_renewal_taken_without_restart(self):
        d = tempfile.mkdtemp()
        self.addCleanup(shutil.rmtree, d, True)
        with open(os.path.join(os.path.dirname(EXE), "CMakeCache.txt")) as f:
            url = re.search(r"^BAR_AD_SERVER:STRING=(https://localhost:\d+)$", f.read(), re.M).group(1)

        def certificate(name, ca=None):
            # name.pem and name.key: an authority of its own, or a certificate for localhost that ca issued.
            signed = ["-CA", ca + ".pem", "-CAkey", ca + ".key", "-addext", "basicConstraints=CA:FALSE"] if ca else []
            run("openssl", "req", "-x509", "-newkey", "ec", "-pkeyopt", "ec_paramgen_curve:P-256", "-nodes", "-days", "2",
                "-subj", "/CN=" + ("localhost" if ca else name), "-addext", "subjectAltName=DNS:localhost", *signed,
                "-keyout", name + ".key", "-out", name + ".pem", cwd=d)
        for name, ca in (("ca", None), ("other-ca", None), ("live", "ca")):
            certificate(name, ca)
        run("openssl", "x509", "-in", "ca.pem", "-outform", "DER", "-out", "ca.der", cwd=d)
        # Into the test prefix's own root store, and out again.
        self.addCleanup(h.peer, "untrust", d + "/ca.der")
        h.peer("trust", d + "/ca.der")

        # The plain port is the sample server's, refused while nginx holds it.
        self.addCleanup(h.ad_mode)
        h.ad_mode("refuse")
        fill = {"@PORT@": h.ADSERVER.rsplit(":", 1)[1], "@TLS_PORT@": url.rsplit(":", 1)[1], "@CERT@": d + "/live.pem",
                "@KEY@": d + "/live.key", "@ADS@": os.path.join(ROOT, "res", "ads"), "@LOG@": d + "/access.log"}
        with open(os.path.join(ROOT, "deploy", "nginx.conf")) as template, open(d + "/nginx.conf", "w") as f:
            f.write(re.sub(r"@\w+@", lambda m: fill[m.group(0)], template.read()))
        nginx = ["/usr/sbin/nginx", "-p", d + "/", "-c", d + "/nginx.conf", "-e", "stderr"]

        def fetched():
            with open(d + "/access.log") as f:
                return len(re.findall(r"^\S+ \S+ GET /ads/vtl_\d+\.ad 200 ", f.read(), re.M))

        server = subprocess.Popen(nginx + ["-g", "daemon off;"])
        self.addCleanup(lambda: server.terminate() or server.wait(30))
        self.start(first_ad=False, exe=EXE)
        # A renewal; one from a CA the desktop does not trust; a renewal again. The bar is never restarted.
        for ca, trusted in (("ca", True), ("other-ca", False), ("ca", True)):
            certificate("live", ca)
            self.assertEqual(run(*nginx, "-s", "reload")[0], 0)
            # Once the reload has closed the bar's connection, its next one meets the new certificate.
            self.assertTrue(h.wait_for(lambda: h.peer("paint", 1) == [] and self.shows_ad() == trusted, 30),
                            f"{ca}: {self.bar.why()}")
            since = fetched()
            self.assertEqual((h.peer("paint", 1), self.shows_ad(), fetched() > since), ([], trusted, trusted), ca)


if __name__ == "__main__":
    unittest.main()
