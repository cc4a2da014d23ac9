"""The zrv module on a real device: zrvsim serving the simulated board on a pseudo-terminal,
answering, held by another control, stopped, and killed."""

import gc
import os
import signal
import subprocess
import time
import unittest

import zrv

# Generous: the library gives up on a reply after about 200 ms.
NO_HANG = 5.0


class Zrvsim(unittest.TestCase):
    def setUp(self):
        program = os.path.join(os.environ["ZRV_BIN_DIR"], "zrvsim")
        self.sim = subprocess.Popen([program], stdout=subprocess.PIPE, text=True)
        self.addCleanup(self.stop_sim)
        self.device = self.sim.stdout.readline().strip()
        self.assertTrue(self.device.startswith("/dev/"), self.device)

    def stop_sim(self):
        if self.sim.poll() is None:
            self.sim.send_signal(signal.SIGCONT)
            self.sim.terminate()
        self.sim.wait(timeout=10)
        self.sim.stdout.close()

    def test_values_and_one_control_at_a_time(self):
        board = zrv.ZRVIO(port=self.device)
        board.a2dconf(True, False, 0)
        self.assertEqual(board.a2d(4), 768)
        self.assertFalse(board.errflag)
        with self.assertRaises(zrv.ZRVError) as caught:
            zrv.ZRVIO(port=self.device)
        self.assertEqual(caught.exception.number, 8010)
        del board
        gc.collect()  # collecting the control closes the device for the next one
        self.assertTrue(zrv.ZRVIO(port=self.device).ok())

    def test_a_board_that_stops_answering_fails_reads_without_hanging(self):
        board = zrv.ZRVIO(port=self.device)
        self.assertTrue(board.ok())
        os.kill(self.sim.pid, signal.SIGSTOP)
        started = time.monotonic()
        self.assertEqual(board.a2d(0), 0)
        self.assertTrue(board.errflag)
        self.assertFalse(board.ok())
        self.assertLess(time.monotonic() - started, NO_HANG)

        os.kill(self.sim.pid, signal.SIGKILL)
        self.sim.wait(timeout=10)
        started = time.monotonic()
        try:
            self.assertEqual(board.a2d(0), 0)
            self.assertTrue(board.errflag)
        except zrv.ZRVError as e:
            self.assertEqual(e.number, 8020)  # the write already fails on a vanished device
        self.assertLess(time.monotonic() - started, NO_HANG)
        board.close()
        self.assertFalse(board.portopen)


if __name__ == "__main__":
    unittest.main()
