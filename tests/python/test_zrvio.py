"""The zrv module against the library's simulated board: values, errors, members, closing."""

import gc
import inspect
import os
import subprocess
import sys
import threading
import unittest

import zrv

CONSTANT = 768  # the simulated board's channel 4, right-justified


class Values(unittest.TestCase):
    def setUp(self):
        self.board = zrv.ZRVIO(port="sim")
        self.addCleanup(self.board.close)

    def test_members_give_the_boards_values(self):
        b = self.board
        self.assertIs(b.ok(), True)
        self.assertIs(b.errflag, False)
        self.assertEqual(b.a2d(4), CONSTANT << 6)  # left-justified until configured
        b.a2dconf(True, False, 0)
        self.assertEqual(b.a2d(4), CONSTANT)
        self.assertTrue(all(0 <= b.a2d(ch) <= 1023 for ch in range(5)))
        b.repeat(3)
        self.assertEqual([b.a2d(4), b.readword(), b.readword()], [CONSTANT] * 3)
        b.tris, b.pins = 0x0F, 0x90
        # Pins 0-3 are inputs now: they read the board's square waves, not the latch.
        self.assertEqual((b.tris, b.pins & 0xF0), (0x0F, 0x90))
        b.eeprom[16] = 65
        self.assertEqual((b.eeprom[16], b.eeprom(16)), (65, 65))
        b.led = True
        self.assertIn(b.inp(0), (0, 1))
        self.assertIsInstance(b.counter, int)
        # Texts and floats convert as the library converts them.
        self.assertEqual(b.a2d("4"), CONSTANT)
        self.assertEqual(b.a2d(4.2), CONSTANT)

    def test_calls_from_two_threads_take_turns(self):
        self.board.a2dconf(True, False, 0)
        readings = []
        def read():
            readings.extend(self.board.a2d(4) for _ in range(200))
        threads = [threading.Thread(target=read) for _ in range(2)]
        for t in threads:
            t.start()
        for t in threads:
            t.join()
        self.assertEqual(readings, [CONSTANT] * 400)


class Errors(unittest.TestCase):
    def test_library_errors_raise_zrverror_with_number_and_text(self):
        closed, board = zrv.ZRVIO(), zrv.ZRVIO(port="sim")
        self.addCleanup(board.close)
        cases = [
            ("a2d while closed", lambda: closed.a2d(0), 68),
            ("eeprom while closed", lambda: closed.eeprom[0], 8012),
            ("port number 0", lambda: setattr(closed, "CommPort", 0), 8002),
            ("no such device", lambda: zrv.ZRVIO(port="/dev/zrv-none"), 8002),
            ("port number while open", lambda: setattr(board, "CommPort", 2), 8000),
            ("open twice", lambda: setattr(board, "portopen", True), 8005),
            ("led read", lambda: board.led, 393),
            ("counter assigned", lambda: setattr(board, "counter", 1), 382),
            ("errflag assigned", lambda: setattr(board, "errflag", True), 382),
            ("negative pin", lambda: board.high(-1), 5),
            ("a negative pin", lambda: board.a2d(-1), 5),
            ("cselect 200", lambda: board.a2dconf(True, False, 200), 6),
            ("too wide an int", lambda: board.a2d(2**40), 6),
            ("huge int", lambda: board.a2d(10**400), 6),
            ("text that is no number", lambda: board.a2d("four"), 13),
        ]
        for what, call, number in cases:
            with self.subTest(what):
                with self.assertRaises(zrv.ZRVError) as caught:
                    call()
                self.assertEqual(caught.exception.number, number)
                self.assertTrue(caught.exception.text)
                self.assertTrue(str(caught.exception).startswith("error %d: " % number))
        self.assertTrue(board.ok(), "the board still answers after refused calls")

    def test_python_mistakes_raise_python_errors(self):
        board = zrv.ZRVIO()
        for what, call, error in [
            ("None argument", lambda: board.a2d(None), TypeError),
            ("list argument", lambda: board.a2d([1]), TypeError),
            ("missing argument", lambda: board.a2d(), TypeError),
            ("bool port", lambda: zrv.ZRVIO(port=True), TypeError),
            ("empty port", lambda: zrv.ZRVIO(port=" "), ValueError),
        ]:
            with self.subTest(what), self.assertRaises(error):
                call()


class Members(unittest.TestCase):
    def test_every_library_member_is_there_with_its_arguments(self):
        members = zrv.members()
        self.assertEqual(len(members), 27)
        for name, kinds, params, _ in members:
            with self.subTest(name):
                attribute = inspect.getattr_static(zrv.ZRVIO, name)
                self.assertTrue(attribute.__doc__)
                if kinds & 1:
                    self.assertEqual(len(inspect.signature(attribute).parameters), params + 1)
                else:
                    self.assertIsInstance(attribute, property)
                    self.assertEqual(params, 1 if name == "eeprom" else 0)


class Closing(unittest.TestCase):
    def test_with_closes_the_port_and_collection_releases_the_control(self):
        with zrv.ZRVIO(port="sim") as board:
            self.assertTrue(board.portopen)
        self.assertFalse(board.portopen)
        board.portopen = True
        self.assertTrue(board.ok())
        release = board._release
        del board
        gc.collect()
        self.assertFalse(release.alive)

    def test_named_devices_get_their_own_port_numbers(self):
        sim = zrv.ZRVIO(port="sim")
        self.assertEqual(sim.CommPort, zrv.ZRVIO(port="sim").CommPort)
        zrv.map_port(200, "sim")
        self.assertTrue(zrv.ZRVIO(port="COM200").ok())
        zrv.map_port(200, None)
        with self.assertRaises(zrv.ZRVError) as caught:
            zrv.ZRVIO(port=200)
        self.assertIn("ttyS199", caught.exception.text)
        with self.assertRaises(zrv.ZRVError) as caught:
            zrv.map_port(256, "sim")
        self.assertEqual(caught.exception.number, 8002)


class Loading(unittest.TestCase):
    def test_the_library_is_found_beside_the_built_module(self):
        self.assertEqual(
            zrv.library_path(),
            os.path.normpath(os.path.join(os.path.dirname(zrv.__file__), "../../lib/libzrv.so")),
        )

    def test_a_library_that_cannot_be_loaded_is_named(self):
        environment = dict(os.environ, ZRV_LIBRARY="/nowhere/libzrv.so")
        script = "import zrv\ntry:\n    zrv.ZRVIO()\nexcept zrv.LibraryNotFoundError as e:\n    print(e)"
        out = subprocess.run([sys.executable, "-c", script], env=environment,
                             capture_output=True, text=True, timeout=60)
        self.assertIn("ZRV_LIBRARY=/nowhere/libzrv.so", out.stdout)


if __name__ == "__main__":
    unittest.main()
