"""The ZRV I/O board from Python, through the ZRV library (libzrv.so).

    import time, zrv

    with zrv.ZRVIO(port="sim") as board:      # or port=3 for COM3 of the port map
        board.a2dconf(True, False, 0)         # right-justified 10-bit readings
        for _ in range(5):
            print([board.a2d(ch) for ch in range(5)])
            time.sleep(0.1)

`ZRVIO` has the members of the board control under their own names: properties (CommPort,
tris, pins, eeprom[add], led, portopen, counter, ready, errflag) and methods (ok, a2d, toggle,
high, low, inp, count, pulseout, pulsein, pwm, freq, rctime, setcounter, resetall, repeat,
readbyte, readword, a2dconf), and read_channels() for several A/D channels at once. Errors
the library raises come as subclasses of `ZRVError` (ArgumentError, PropertyError,
DeviceUnavailableError, PortError, ZRVTimeoutError, ...) with its number and text. As in the
library, a reply the board never sends is no error: the read gives 0 and `errflag` turns
True, within the library's wait limits (about 200 ms a reply). Ctrl+C during a call on the
main thread raises KeyboardInterrupt at once, also during a long count().

The library is looked for in $ZRV_LIBRARY, beside this module in a build tree, where the
install put it, then by the system's library search.
"""

from __future__ import annotations

import difflib
import threading
import weakref
from typing import Any, Iterable, Iterator, overload

from . import _library
from ._library import (
    AbandonedError,
    ArgumentError,
    DeviceTimeoutError,
    DeviceUnavailableError,
    LibraryNotFoundError,
    PortError,
    PortTimeoutError,
    PropertyError,
    ZRVError,
    ZRVTimeoutError,
)
from ._version import __version__

__all__ = [
    "ZRVIO", "ZRVError", "ArgumentError", "PropertyError", "DeviceUnavailableError",
    "PortError", "AbandonedError", "ZRVTimeoutError", "DeviceTimeoutError", "PortTimeoutError",
    "LibraryNotFoundError", "map_port", "members", "library_path", "__version__",
]

_M, _GET, _PUT = _library.METHOD, _library.PROPERTYGET, _library.PROPERTYPUT

# Devices given by name (port="sim", port="/dev/ttyUSB0") get COM numbers of their own for
# this process, from COM255 down, so that they never take over a number the port map uses.
_device_ports: dict[str, int] = {}
_device_lock = threading.Lock()


def library_path() -> str:
    """The path of the ZRV library in use (loading it if need be)."""
    return _library.load().path


def map_port(comm_port: int, device: str | None) -> None:
    """Maps COM<comm_port> to a device for this process only: "sim" for the simulated board
    or a device path; None or "" removes the mapping. The per-user port map file is not
    changed, and the mapping applies from the next opening of a port."""
    _library.load().map_port(comm_port, device)


def members() -> list[tuple[str, int, int, str]]:
    """The board control's members as the library describes them: a list of (name, kinds,
    number of arguments, help text); kinds has bit 1 for a method, 2 readable, 4 assignable."""
    return _library.load().members()


def _port_for_device(device: str) -> int:
    with _device_lock:
        number = _device_ports.get(device)
        if number is None:
            number = 255 - len(_device_ports)
            if number < 1:
                raise _library.error(8002, "no COM number is left for %s" % device)
            map_port(number, device)
            _device_ports[device] = number
        return number


def _port_number(port: int | str) -> int:
    if isinstance(port, bool):
        raise TypeError("port is a COM number, \"sim\" or a device path, not a bool")
    if isinstance(port, int):
        return port
    if isinstance(port, str):
        text = port.strip()
        digits = text[3:] if text.upper().startswith("COM") else text
        if digits.isdigit():
            return int(digits)
        if not text:
            raise ValueError("port is empty")
        return _port_for_device(text)
    raise TypeError("port is a COM number, \"sim\" or a device path, not %s" % type(port).__name__)


def _property(name: str, doc: str) -> Any:
    """A property of the board control. Both directions always reach the library, which
    refuses the one the member lacks with its own error (led 393, counter 382, ...). Typed
    Any so that the annotation in the class gives the value's type."""

    def get(self: ZRVIO) -> Any:
        return self._invoke(name, _GET)

    def put(self: ZRVIO, value: Any) -> None:
        self._invoke(name, _PUT, value)

    return property(get, put, doc=doc)


EEPROM_SIZE = 65536
"""The addresses the EEPROM property takes (0-65535)."""


class _Eeprom:
    """The board's EEPROM, a byte per address: board.eeprom[16] reads, board.eeprom[16] = 65
    writes (board.eeprom(16) reads too). It is a sequence of EEPROM_SIZE bytes: len(), negative
    addresses and slices (board.eeprom[0:16] reads 16 bytes), iteration over every address."""

    __slots__ = ("_board",)

    def __init__(self, board: ZRVIO) -> None:
        self._board = board

    def __len__(self) -> int:
        return EEPROM_SIZE

    @staticmethod
    def _address(add: int) -> int:
        if isinstance(add, bool) or not isinstance(add, int):
            raise TypeError("an EEPROM address is an int, not %s" % type(add).__name__)
        if not -EEPROM_SIZE <= add < EEPROM_SIZE:
            raise IndexError("EEPROM address %d is outside 0-%d" % (add, EEPROM_SIZE - 1))
        return add % EEPROM_SIZE

    @overload
    def __getitem__(self, add: int) -> int: ...
    @overload
    def __getitem__(self, add: slice) -> list[int]: ...

    def __getitem__(self, add: int | slice) -> int | list[int]:
        """The byte at add, or a list of the bytes of a slice."""
        if isinstance(add, slice):
            return [self[a] for a in range(*add.indices(EEPROM_SIZE))]
        return self._board._invoke("eeprom", _GET, self._address(add))

    def __setitem__(self, add: int, value: int) -> None:
        """Writes value (0-255) at add."""
        self._board._invoke("eeprom", _PUT, self._address(add), value)

    def __iter__(self) -> Iterator[int]:
        """Reads every byte, from address 0 up."""
        for add in range(EEPROM_SIZE):
            yield self[add]

    def __call__(self, add: int) -> int:
        """The byte at add, as board.eeprom(add) reads it in other hosts."""
        return self[add]

    def __repr__(self) -> str:
        return "<EEPROM of %r>" % (self._board,)


class ZRVIO:
    """A control of one ZRV I/O board on a serial port.

    ZRVIO() makes a closed control on COM1, as the library does. ZRVIO(port=3) sets CommPort
    to 3 and opens it; port="sim" opens the built-in simulated board and port="/dev/ttyUSB0"
    a device, each through a COM number of its own mapped for this process (COM255 for the
    first). Opening fails with ZRVError: 8002 for no such port or device, 8010 when it cannot
    be opened (no permission, in use).

    The port closes when a `with` block ends (close()) and when the object is collected.
    A control may be used from any thread; calls on one control take turns. Assigning a name
    the control does not have (board.Pins = 1) raises AttributeError.
    """

    __slots__ = ("_lib", "_lock", "_handle", "_release", "__weakref__")

    def __init__(self, port: int | str | None = None) -> None:
        lib = _library.load()
        self._lib = lib
        self._lock = threading.RLock()
        self._handle = lib.create()
        self._release = weakref.finalize(self, lib.release, self._handle)
        if port is not None:
            self.CommPort = _port_number(port)
            self.portopen = True

    def __setattr__(self, name: str, value: Any) -> None:
        try:
            object.__setattr__(self, name, value)
        except AttributeError:
            if hasattr(type(self), name):
                raise
            names = [n for n in dir(type(self)) if not n.startswith("_")]
            close = {n.lower(): n for n in names}.get(name.lower()) or next(
                iter(difflib.get_close_matches(name, names, 1)), None)
            hint = "; did you mean %r?" % close if close else ""
            raise AttributeError(
                "%r has no member %r to assign%s" % (type(self).__name__, name, hint)
            ) from None

    def _invoke(self, name: str, kind: int, *args: object) -> Any:
        with self._lock:
            if not self._release.alive:
                raise ValueError("the ZRV control has been released")
            return self._lib.invoke(self._handle, name, kind, args)

    # ---- The Python side ----------------------------------------------------------------

    def close(self) -> None:
        """Closes the port (sending nothing); harmless when it is closed. The control stays
        usable: setting portopen to True opens the port again."""
        if self._release.alive and self.portopen:
            self.portopen = False

    def __enter__(self) -> ZRVIO:
        """The control itself, for `with zrv.ZRVIO(port=...) as board:`."""
        return self

    def __exit__(self, *exc: object) -> bool:
        """Closes the port (see close()); exceptions go on."""
        self.close()
        return False

    def __repr__(self) -> str:
        if not self._release.alive:
            return "<zrv.ZRVIO released>"
        try:
            state = "open" if self.portopen else "closed"
            return "<zrv.ZRVIO COM%d %s>" % (self.CommPort, state)
        except ZRVError:
            return "<zrv.ZRVIO>"

    # ---- Link and status -----------------------------------------------------------------

    CommPort: int = _property(
        "CommPort",
        "The port number (1 = COM1), resolved through the port map when the port opens. "
        "Assigning it while the port is open raises 8000, outside 1-255 8002.",
    )
    portopen: bool = _property(
        "portopen",
        "Whether the port is open. Setting True opens it and greets the board (a board that "
        "does not answer sets errflag instead of raising); setting False closes it.",
    )

    def ok(self) -> bool:
        """Asks the board for its status: True when it answers "3"."""
        return self._invoke("ok", _M)

    ready: bool = _property(
        "ready",
        "True when the port is open, the board signals it can take a command and no reply is "
        "owed. Read only (assigning raises 382).",
    )
    errflag: bool = _property(
        "errflag",
        "True when the most recent read from the board failed (it did not answer in time, "
        "sent what cannot be an A/D result, or the device went away); such reads give 0. "
        "Read only (assigning raises 382).",
    )

    def resetall(self) -> None:
        """Full reset of the board."""
        return self._invoke("resetall", _M)

    # ---- Analog conversion and repeated reads --------------------------------------------

    def a2d(self, pin: int) -> int:
        """One A/D conversion of channel pin (0-7): the 16-bit reply, 10 bits placed as
        a2dconf set them. A reply that cannot be a result in that layout gives 0 with errflag
        set. 68 while the port is closed."""
        return self._invoke("a2d", _M, pin)

    def a2dconf(self, justify: bool, clkx2: bool, cselect: int) -> None:
        """Configures the converter: justify True gives right-justified values (0-1023), False
        left-justified ones; clkx2 doubles the conversion clock; cselect (0-31) selects the
        reference and channel set. cselect 32-127 is taken, its upper bits merging with clkx2
        and justify (64 sets justify); outside 0-127 it raises 6."""
        return self._invoke("a2dconf", _M, justify, clkx2, cselect)

    def repeat(self, ct: int) -> None:
        """Makes the board run the next repeatable command ct times (1-65536); fetch the
        further replies with readbyte() or readword()."""
        return self._invoke("repeat", _M, ct)

    def readbyte(self) -> int:
        """One further reply byte of a repeated command (sends nothing)."""
        return self._invoke("readbyte", _M)

    def readword(self) -> int:
        """One further 16-bit reply of a repeated command, high byte first (sends nothing)."""
        return self._invoke("readword", _M)

    # ---- Digital pins and the LED --------------------------------------------------------

    tris: int = _property(
        "tris",
        "The direction byte: 1 bits mark inputs. Read from the board while the port is open, "
        "else the stored byte; assigning stores it and, with the port open, sends it (0-255).",
    )
    pins: int = _property(
        "pins",
        "The pin byte: 1 bits are high levels. Read and assigned as tris is.",
    )

    def toggle(self, pin: int) -> None:
        """Inverts a pin (0-7)."""
        return self._invoke("toggle", _M, pin)

    def high(self, pin: int) -> None:
        """Drives a pin (0-7) high."""
        return self._invoke("high", _M, pin)

    def low(self, pin: int) -> None:
        """Drives a pin (0-7) low."""
        return self._invoke("low", _M, pin)

    def inp(self, pin: int) -> int:
        """Reads a pin (0-7): 0 or 1."""
        return self._invoke("inp", _M, pin)

    led: bool = _property(
        "led",
        "The LED: assign True or False to switch it. It cannot be read back (reading raises "
        "393).",
    )

    # ---- Pulses, frequencies and the counter ---------------------------------------------

    def count(self, pin: int, duration: int) -> int:
        """Counts the transitions on a pin during duration (ms, 0-65535)."""
        return self._invoke("count", _M, pin, duration)

    def pulseout(self, pin: int, period: int) -> None:
        """Sends a pulse of period (ms, 0-65535) on a pin."""
        return self._invoke("pulseout", _M, pin, period)

    def pulsein(self, pin: int, state: int) -> int:
        """Measures a pulse of state (0 or 1) on a pin; returns its length (us)."""
        return self._invoke("pulsein", _M, pin, state)

    def pwm(self, pin: int, duty: int, fduration: int) -> None:
        """Pulse-width modulation with duty (0-255) for fduration (ms, 0-65535) on a pin, or on
        the board's PWM output for pin -1."""
        return self._invoke("pwm", _M, pin, duty, fduration)

    def freq(self, pin: int, tone: int, duration: int) -> None:
        """Outputs a tone (0-32767) on a pin for duration (ms, 0-65535)."""
        return self._invoke("freq", _M, pin, tone, duration)

    def rctime(self, pin: int, state: int) -> int:
        """Measures the RC time of a pin starting in state 0 or 1; returns it (us)."""
        return self._invoke("rctime", _M, pin, state)

    counter: int = _property(
        "counter",
        "The counter/timer's 16-bit value. Read only (assigning raises 382).",
    )

    def setcounter(self, prescale: int, countmode: bool) -> None:
        """Sets the counter/timer's prescaler (2, 4 or 8; other values: none) and mode
        (True counts input transitions, False times)."""
        return self._invoke("setcounter", _M, prescale, countmode)

    # ---- EEPROM ---------------------------------------------------------------------------

    @property
    def eeprom(self) -> _Eeprom:
        """The EEPROM: board.eeprom[add] reads the byte at add (0-65535), board.eeprom[add] =
        value writes one (0-255); board.eeprom(add) reads as well. Reading with the port
        closed raises 8012."""
        return _Eeprom(self)

    # ---- Python helpers ---------------------------------------------------------------------

    def read_channels(self, channels: Iterable[int] = range(5)) -> Any:
        """One A/D conversion of each channel given (default 0-4), in that order, as a list of
        ints; a NumPy array (int32) when NumPy can be imported, which is never required. The
        conversions follow one another with no other call on this control between them; a
        failed reply reads 0, as a2d's does."""
        pins = list(channels)
        with self._lock:
            values = [self.a2d(pin) for pin in pins]
        try:
            import numpy
        except ImportError:
            return values
        return numpy.array(values, dtype=numpy.int32)
