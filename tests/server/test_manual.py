# The operator's page as an operator follows it: every sh block that needs nothing but this machine,
# in page order, in a scratch copy of the project, on free ports and scratch paths.
# Fault: a command, option, path or step on the page that no longer works as shown.
import os
import re
import shutil
import socket
import subprocess
import tempfile
import unittest

REPO = os.path.realpath(os.path.join(os.path.dirname(os.path.abspath(__file__)), "..", ".."))
PAGE = "docs/operator.md"
BLOCK = re.compile(r"^( *)```sh\n(.*?)^\1```$", re.M | re.S)   # indented as in a list item, or not
EXIT = re.compile(r"#\s*exit (\d+)(?::|$)")                      # beside a last command meant to fail
FOREGROUND = re.compile(r"(nginx -p \S+ -c \S+).*?( -g 'daemon off;')")


def free_port():
    with socket.socket() as s:
        s.bind(("127.0.0.1", 0))
        return str(s.getsockname()[1])


def blocks(text):
    """(line, commands, exit code) of each block without a `# needs:` first line."""
    for m in BLOCK.finditer(text):
        body = "".join(line[len(m.group(1)):] for line in m.group(2).splitlines(True))
        if not body.startswith("# needs:"):
            expect = EXIT.search(body.rstrip().splitlines()[-1])
            yield text.count("\n", 0, m.start()) + 1, body, int(expect.group(1)) if expect else 0


def script(commands, code):
    """Under `set -e`; where the last command is to fail, the ones before it must not, whatever their code."""
    if not code:
        return commands
    lines = commands.rstrip("\n").split("\n")
    last = len(lines) - 1
    while last and lines[last - 1].endswith("\\"):
        last -= 1
    return "\n".join(["trap 'echo \"--- a command before the last one ended with $?\"; exit 125' ERR", *lines[:last],
                      "trap - ERR", *lines[last:]])


class OperatorPage(unittest.TestCase):
    def test_its_examples_run_as_shown(self):
        scratch = tempfile.mkdtemp(prefix="operator-page-")
        self.addCleanup(shutil.rmtree, scratch, True)
        os.chmod(scratch, 0o755)   # nginx's worker (nobody, under root) reads the live set in there
        tree = os.path.join(scratch, "project")
        listed = subprocess.run(["git", "ls-files", "-z"], cwd=REPO, capture_output=True, check=True).stdout
        for name in filter(None, listed.decode().split("\0")):
            os.makedirs(os.path.dirname(os.path.join(tree, name)), exist_ok=True)
            shutil.copy2(os.path.join(REPO, name), os.path.join(tree, name))
        for folder in ("home", "srv", "tmp"):
            os.mkdir(os.path.join(scratch, folder))
        # tools/test.sh names the log reader it built (ADSET_LOGREAD), so the copy builds none.
        env = dict(os.environ, HOME=os.path.join(scratch, "home"))
        ports = {"8780": free_port(), "8781": free_port()}
        with open(os.path.join(REPO, PAGE)) as f:
            page = f.read()
        started = False
        for line, commands, code in blocks(page):
            local = re.sub(r"\b878[01]\b", lambda m: ports[m.group(0)], commands)
            local = re.sub(r"(?<![\w.])/(srv|tmp)/", lambda m: f"{scratch}/{m.group(1)}/", local)
            nginx = FOREGROUND.search(local)
            if nginx:
                # In the background, so that the next blocks run; stopped as it would be by hand.
                local = local.replace(nginx.group(2), "")
                self.addCleanup(subprocess.run, nginx.group(1) + " -s stop", shell=True, cwd=tree, capture_output=True,
                                timeout=60)
                started = True
            # To a file: nginx's master keeps the output it was started with.
            with open(os.path.join(scratch, f"out-{line}"), "w+") as out:
                try:
                    rc = subprocess.run(["bash", "-e", "-o", "pipefail", "-c", script(local, code)], cwd=tree, env=env,
                                        stdout=out, stderr=subprocess.STDOUT, timeout=300).returncode
                except subprocess.TimeoutExpired:
                    rc = "no end within 300 s"
                out.seek(0)
                said = out.read()[-3000:]
            self.assertEqual(rc, code, f"{PAGE}, the block at line {line} (run with {ports} for 8780 and 8781, "
                                       f"{scratch} before /srv/ and /tmp/):\n{commands}--- it printed:\n{said}")
        self.assertTrue(started, f"{PAGE} starts no nginx")


if __name__ == "__main__":
    unittest.main()
