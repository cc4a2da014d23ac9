"""python3 -m zrv: a member from the shell, its results, and what it says when it cannot."""

import os
import subprocess
import sys
import unittest


def run(*args, **environment):
    return subprocess.run([sys.executable, "-m", "zrv", *args], capture_output=True, text=True,
                          env=dict(os.environ, **environment), timeout=60)


class Cli(unittest.TestCase):
    def test_results_and_exit_statuses(self):
        cases = [
            (["--port", "sim", "a2d", "4"], 0, "49152\n", ""),
            (["--port", "sim", "ok"], 0, "True\n", ""),
            (["--port", "sim", "eeprom", "16", "65"], 0, "", ""),
            (["--port", "sim", "led"], 1, "", "error 393"),
            (["--port", "sim", "a2dconf", "true", "false", "200"], 1, "", "error 6"),
            (["--port", "0", "ok"], 1, "", "error 8002"),
            (["--port", "sim", "nosuch"], 2, "", "no member 'nosuch'"),
            (["--port", "sim", "a2d"], 2, "", "a2d takes 1 argument(s), not 0"),
            (["--port", "sim", "pins", "1", "2"], 2, "", "pins takes 0 or 1 argument(s)"),
            (["--port", "sim", "CommPort"], 2, "", "set through --port"),
        ]
        for args, status, out, err in cases:
            with self.subTest(" ".join(args)):
                result = run(*args)
                self.assertEqual(result.returncode, status, result.stderr)
                self.assertEqual(result.stdout, out)
                self.assertIn(err, result.stderr)

    def test_without_the_library_it_says_where_it_looked(self):
        result = run("--port", "sim", "ok", ZRV_LIBRARY="/nowhere/libzrv.so")
        self.assertEqual(result.returncode, 1)
        self.assertIn("/nowhere/libzrv.so", result.stderr)
        self.assertNotIn("Traceback", result.stderr)


if __name__ == "__main__":
    unittest.main()
