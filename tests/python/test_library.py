"""zrv as a Python library: errors by kind, Ctrl+C during a long call, the EEPROM as a
sequence, assignments to names the board lacks, several channels at once, the version and
type hints, and pip installing the module into a virtual environment."""

import inspect
import itertools
import os
import shutil
import signal
import subprocess
import sys
import tempfile
import textwrap
import time
import types
import typing
import unittest
from unittest import mock

import zrv

NO_HANG = 5.0  # far below the 20 s count the interrupt test breaks off
HERE = os.path.dirname(os.path.abspath(__file__))


class ErrorKinds(unittest.TestCase):
    def test_library_errors_raise_their_kind_with_number_and_text(self):
        closed, board = zrv.ZRVIO(), zrv.ZRVIO(port="sim")
        self.addCleanup(board.close)
        cases = [
            ("a2d while closed", lambda: closed.a2d(0), 68, zrv.DeviceUnavailableError),
            ("port number 0", lambda: setattr(closed, "CommPort", 0), 8002, zrv.PortError),
            ("open twice", lambda: setattr(board, "portopen", True), 8005, zrv.PortError),
            ("led read", lambda: board.led, 393, zrv.PropertyError),
            ("counter assigned", lambda: setattr(board, "counter", 1), 382, zrv.PropertyError),
            ("negative pin", lambda: board.high(-1), 5, zrv.ArgumentError),
            ("cselect 200", lambda: board.a2dconf(True, False, 200), 6, zrv.ArgumentError),
            ("text that is no number", lambda: board.a2d("four"), 13, zrv.ArgumentError),
        ]
        for what, call, number, kind in cases:
            with self.subTest(what), self.assertRaises(kind) as caught:
                call()
            self.assertIsInstance(caught.exception, zrv.ZRVError)
            self.assertNotIsInstance(caught.exception, TimeoutError)
            self.assertEqual(caught.exception.number, number)
            self.assertTrue(caught.exception.text)
        self.assertTrue(issubclass(zrv.ArgumentError, ValueError))

    def test_waits_that_ran_out_raise_a_timeout_kind(self):
        cases = [
            (68, True, (zrv.DeviceTimeoutError, zrv.DeviceUnavailableError, TimeoutError)),
            (8020, True, (zrv.PortTimeoutError, zrv.PortError, TimeoutError)),
            (51, True, (zrv.ZRVTimeoutError, TimeoutError)),
            (68, False, (zrv.DeviceUnavailableError,)),
            (18, False, (zrv.AbandonedError,)),
        ]
        for number, timed_out, kinds in cases:
            with self.subTest(number=number, timed_out=timed_out):
                error = zrv._library.error(number, "text", timed_out)
                for kind in kinds + (zrv.ZRVError,):
                    self.assertIsInstance(error, kind)
                self.assertEqual(isinstance(error, TimeoutError), timed_out)
                self.assertEqual((error.number, error.text), (number, "text"))


class Interrupt(unittest.TestCase):
    """A count of 20 s on zrvsim --pace, which answers only when the board would."""

    SCRIPT = textwrap.dedent("""\
        import signal, sys, zrv
        # As in a terminal, whatever the test runner blocks or ignores.
        signal.pthread_sigmask(signal.SIG_UNBLOCK, {signal.SIGINT})
        signal.signal(signal.SIGINT, signal.default_int_handler)
        if sys.argv[2] == "noted":
            signal.signal(signal.SIGINT, lambda *_: print("noted", flush=True))
        board = zrv.ZRVIO(port=sys.argv[1])
        print("counting", flush=True)
        try:
            board.count(0, 20000)
        except KeyboardInterrupt:
            print("KeyboardInterrupt", flush=True)
        except zrv.AbandonedError as e:
            print("AbandonedError %d" % e.number, flush=True)
        board.close()
        """)

    def test_ctrl_c_ends_a_long_call_at_once(self):
        program = os.path.join(os.environ["ZRV_BIN_DIR"], "zrvsim")
        for handler, expected in [("default", "KeyboardInterrupt\n"),
                                  ("noted", "noted\nAbandonedError 18\n")]:
            with self.subTest(handler):
                sim = subprocess.Popen([program, "--pace"], stdout=subprocess.PIPE, text=True)
                self.addCleanup(sim.wait, 10)
                self.addCleanup(sim.kill)  # it would finish the count first
                self.addCleanup(sim.stdout.close)
                device = sim.stdout.readline().strip()
                child = subprocess.Popen([sys.executable, "-c", self.SCRIPT, device, handler],
                                         stdout=subprocess.PIPE, text=True)
                self.assertEqual(child.stdout.readline(), "counting\n")
                time.sleep(1.0)
                sent = time.monotonic()
                child.send_signal(signal.SIGINT)
                out, _ = child.communicate(timeout=60)
                self.assertLess(time.monotonic() - sent, NO_HANG)
                self.assertEqual(out, expected)
                self.assertEqual(child.returncode, 0)


    def test_another_wakeup_descriptor_is_left_in_place(self):
        read, write = os.pipe()
        self.addCleanup(os.close, read)
        self.addCleanup(os.close, write)
        os.set_blocking(write, False)
        previous = signal.set_wakeup_fd(write)
        try:
            self.assertTrue(zrv.ZRVIO(port="sim").ok())
        finally:
            self.assertEqual(signal.set_wakeup_fd(previous), write)


class Pythonic(unittest.TestCase):
    def setUp(self):
        self.board = zrv.ZRVIO(port="sim")
        self.addCleanup(self.board.close)

    def test_the_eeprom_is_a_sequence_of_bytes(self):
        eeprom = self.board.eeprom
        self.assertEqual(len(eeprom), 65536)
        eeprom[0], eeprom[1], eeprom[2] = 1, 2, 3
        self.assertEqual(eeprom[0:3], [1, 2, 3])
        self.assertEqual(eeprom[-65536], 1)
        self.assertEqual(list(itertools.islice(eeprom, 3)), [1, 2, 3])
        for add, error in [(65536, IndexError), (-65537, IndexError), ("1", TypeError),
                           (True, TypeError)]:
            with self.subTest(add=add), self.assertRaises(error):
                eeprom[add]
        # Iteration reads every address once and ends without an error.
        self.assertEqual(sum(1 for _ in eeprom), 65536)

    def test_assigning_a_name_the_board_lacks_raises_attribute_error(self):
        for name, hint in [("Pins", "pins"), ("commport", "CommPort"), ("a2dconfig", "a2dconf"),
                           ("colour", None), ("eeprom", None)]:
            with self.subTest(name), self.assertRaises(AttributeError) as caught:
                setattr(self.board, name, 1)
            if hint:
                self.assertIn("did you mean %r" % hint, str(caught.exception))
        self.board.tris = 0x0F
        self.assertEqual(self.board.tris, 0x0F)

    def test_read_channels_gives_a_list_or_a_numpy_array(self):
        self.board.a2dconf(True, False, 0)
        with mock.patch.dict(sys.modules, {"numpy": None}):  # NumPy cannot be imported
            self.assertEqual(self.board.read_channels([4, 4]), [768, 768])
            self.assertEqual(len(self.board.read_channels()), 5)
        fake = types.SimpleNamespace(int32="int32", array=lambda v, dtype: ("array", v, dtype))
        with mock.patch.dict(sys.modules, {"numpy": fake}):
            self.assertEqual(self.board.read_channels([4]), ("array", [768], "int32"))
        try:
            import numpy
        except ImportError:
            return
        values = self.board.read_channels(range(5))
        self.assertIsInstance(values, numpy.ndarray)
        self.assertEqual(values[4], 768)

    def test_version_and_type_hints(self):
        self.assertEqual(zrv.__version__, os.environ["ZRV_PROJECT_VERSION"])
        self.assertTrue(os.path.isfile(os.path.join(os.path.dirname(zrv.__file__), "py.typed")))
        self.assertEqual(typing.get_type_hints(zrv.ZRVIO)["CommPort"], int)
        for name, function in inspect.getmembers(zrv.ZRVIO, inspect.isfunction):
            if not name.startswith("_"):
                with self.subTest(name):
                    self.assertIn("return", typing.get_type_hints(function))


class Install(unittest.TestCase):
    """pip install ./python into a venv of the system's Python, offline: setuptools, wheel
    and pip come from the system (python3-setuptools, python3-wheel, python3-pip)."""

    PYTHON = "/usr/bin/python3"

    def test_pip_installs_the_module_into_a_virtual_environment(self):
        needs = "import setuptools, wheel, venv, pip"  # setuptools before pip imports distutils
        if subprocess.run([self.PYTHON, "-c", needs], capture_output=True).returncode != 0:
            self.skipTest("%s lacks venv, pip, setuptools or wheel" % self.PYTHON)
        tmp = tempfile.mkdtemp()
        self.addCleanup(shutil.rmtree, tmp)
        source, venv = os.path.join(tmp, "python"), os.path.join(tmp, "venv")
        shutil.copytree(os.path.join(HERE, "..", "..", "python"), source,
                        ignore=shutil.ignore_patterns("build", "*.egg-info", "__pycache__"))
        environment = {k: v for k, v in os.environ.items() if k != "PYTHONPATH"}
        python = os.path.join(venv, "bin", "python")
        for command in ([self.PYTHON, "-m", "venv", "--system-site-packages", "--without-pip",
                         venv],
                        [python, "-m", "pip", "install", "--no-build-isolation", "--no-index",
                         "--no-deps", "--quiet", source]):
            done = subprocess.run(command, capture_output=True, text=True, env=environment,
                                  cwd=tmp, timeout=240)
            self.assertEqual(done.returncode, 0, done.stderr)
        script = ("import os, zrv\n"
                  "print(zrv.__file__.startswith(os.environ['VENV']), zrv.__version__)\n"
                  "print(os.path.isfile(os.path.join(os.path.dirname(zrv.__file__), 'py.typed')))\n"
                  "with zrv.ZRVIO(port='sim') as b:\n"
                  "    b.a2dconf(True, False, 0)\n"
                  "    print(b.a2d(4))\n")
        library = os.path.normpath(os.path.join(os.environ["ZRV_BIN_DIR"], "..", "lib",
                                                "libzrv.so.1"))
        done = subprocess.run([python, "-c", script], capture_output=True, text=True, cwd=tmp,
                              env=dict(environment, VENV=venv, ZRV_LIBRARY=library), timeout=60)
        self.assertEqual(done.returncode, 0, done.stderr)
        self.assertEqual(done.stdout, "True %s\nTrue\n768\n" % zrv.__version__)


if __name__ == "__main__":
    unittest.main()
