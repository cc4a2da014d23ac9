"""Finding libzrv.so and calling its C interface (board/zrv.h) through ctypes.

Nothing here knows the board's members: calls go by dispatch number, looked up by name, with
variant arguments, exactly as any other host of the C interface makes them.
"""

from __future__ import annotations

import ctypes
import ctypes.util
import math
import os
import signal
import threading
from typing import Any, Sequence

PROGID = b"CorvaneZRV.ZRVIO"
SONAME = "libzrv.so.1"

METHOD = 1
PROPERTYGET = 2
PROPERTYPUT = 4

VT_EMPTY = 0
VT_I2 = 2
VT_I4 = 3
VT_R8 = 5
VT_STR = 8
VT_BOOL = 11

_TRUE = -1
_INT32_MIN = -(2**31)
_INT32_MAX = 2**31 - 1


class ZRVError(Exception):
    """An error of the ZRV library: its number (68 device unavailable, 5 invalid argument,
    8002 no such port, ...) and its text, as the library reports them. The library's errors
    are raised as the subclasses below, by number; `except ZRVError` catches them all."""

    __module__ = "zrv"

    def __init__(self, number: int, text: str) -> None:
        super().__init__(number, text)
        self.number = number
        self.text = text

    def __str__(self) -> str:
        return "error %d: %s" % (self.number, self.text)


class ArgumentError(ZRVError, ValueError):
    """A value the member cannot take: 5 invalid argument, 6 overflow, 13 type mismatch, 450
    wrong number of arguments."""

    __module__ = "zrv"


class PropertyError(ZRVError):
    """A property used in a way it does not allow: 382 read only, 393 write only, 387 not
    settable in design mode."""

    __module__ = "zrv"


class DeviceUnavailableError(ZRVError):
    """68: a command while the port is closed, or a board that did not become ready."""

    __module__ = "zrv"


class PortError(ZRVError):
    """The serial port (8000-8020): no such port or device, in use, not open, a failed write."""

    __module__ = "zrv"


class AbandonedError(ZRVError):
    """18: the wait for the board was abandoned (see ZRVIO: Ctrl+C raises KeyboardInterrupt)."""

    __module__ = "zrv"


class ZRVTimeoutError(ZRVError, TimeoutError):
    """A wait of the library ran out of time; also a TimeoutError."""

    __module__ = "zrv"


class DeviceTimeoutError(ZRVTimeoutError, DeviceUnavailableError):
    """68 because the board did not become ready in time (readyTimeout)."""

    __module__ = "zrv"


class PortTimeoutError(ZRVTimeoutError, PortError):
    """A write to the port that could not finish in time."""

    __module__ = "zrv"


_ERROR_CLASSES: dict[int, type[ZRVError]] = {
    5: ArgumentError, 6: ArgumentError, 13: ArgumentError, 450: ArgumentError,
    18: AbandonedError,
    68: DeviceUnavailableError,
    382: PropertyError, 387: PropertyError, 393: PropertyError,
    **{n: PortError for n in (8000, 8002, 8005, 8010, 8012, 8020)},
}
_TIMEOUT_CLASSES: dict[type[ZRVError], type[ZRVError]] = {
    DeviceUnavailableError: DeviceTimeoutError, PortError: PortTimeoutError,
}


def error(number: int, text: str, timed_out: bool = False) -> ZRVError:
    """The exception for an error number of the library (and whether a wait timed out)."""
    cls = _ERROR_CLASSES.get(number, ZRVError)
    if timed_out:
        cls = _TIMEOUT_CLASSES.get(cls, ZRVTimeoutError)
    return cls(number, text)


class LibraryNotFoundError(OSError):
    """libzrv.so could not be found or loaded; the message lists where it was looked for."""

    __module__ = "zrv"


class _Value(ctypes.Union):
    _fields_ = [
        ("i2", ctypes.c_int16),
        ("i4", ctypes.c_int32),
        ("r8", ctypes.c_double),
        ("boolval", ctypes.c_int16),
        ("str", ctypes.c_char_p),
    ]


class Variant(ctypes.Structure):
    _fields_ = [("vt", ctypes.c_uint16), ("v", _Value)]


class Member(ctypes.Structure):
    _fields_ = [
        ("dispid", ctypes.c_int32),
        ("name", ctypes.c_char_p),
        ("kinds", ctypes.c_uint),
        ("params", ctypes.c_uint),
        ("help", ctypes.c_char_p),
    ]


def to_variant(value: object, keep: list[bytes]) -> Variant:
    """A Python value as a variant. Encoded texts go to `keep`, which must outlive the call."""
    out = Variant()
    if isinstance(value, bool):
        out.vt = VT_BOOL
        out.v.boolval = _TRUE if value else 0
    elif isinstance(value, int):
        if _INT32_MIN <= value <= _INT32_MAX:
            out.vt = VT_I4
            out.v.i4 = value
        else:
            # Too wide for any parameter: the library's own conversion reports the overflow.
            out.vt = VT_R8
            try:
                out.v.r8 = float(value)
            except OverflowError:
                out.v.r8 = math.inf if value > 0 else -math.inf
    elif isinstance(value, float):
        out.vt = VT_R8
        out.v.r8 = value
    elif isinstance(value, str):
        data = value.encode("utf-8")
        keep.append(data)
        out.vt = VT_STR
        out.v.str = data
    else:
        raise TypeError(
            "a ZRV argument is a bool, int, float or str, not %s" % type(value).__name__
        )
    return out


def from_variant(variant: Variant) -> Any:
    vt = variant.vt
    if vt == VT_EMPTY:
        return None
    if vt == VT_I2:
        return variant.v.i2
    if vt == VT_I4:
        return variant.v.i4
    if vt == VT_BOOL:
        return variant.v.boolval != 0
    if vt == VT_R8:
        return variant.v.r8
    if vt == VT_STR:
        return (variant.v.str or b"").decode("utf-8", "replace")
    raise error(51, "the library returned a value of variant type %d" % vt)


def _candidates() -> list[tuple[str, str]]:
    """(where, path) pairs in the order they are tried, after ZRV_LIBRARY."""
    here = os.path.dirname(os.path.abspath(__file__))
    found = [
        # A built module: build/python/zrv beside build/lib.
        ("build tree", os.path.join(here, "..", "..", "lib", "libzrv.so")),
        # The sources' python/zrv beside the default build folder.
        ("build tree", os.path.join(here, "..", "..", "build", "lib", "libzrv.so")),
    ]
    try:
        from . import _installed  # written by the install rules only
    except ImportError:
        pass
    else:
        found.append(("installed", os.path.join(here, _installed.LIBRARY_FROM_MODULE)))
    return [(where, os.path.normpath(path)) for where, path in found]


def find() -> tuple[str, list[str]]:
    """The path of the library to load and a list of what was tried before it."""
    tried: list[str] = []
    explicit = os.environ.get("ZRV_LIBRARY")
    if explicit:
        return explicit, tried
    for where, path in _candidates():
        if os.path.exists(path):
            return path, tried
        tried.append("%s (%s)" % (path, where))
    system = ctypes.util.find_library("zrv")
    tried.append("the system's library search")
    return system or SONAME, tried


def _bind(lib: ctypes.CDLL) -> None:
    c_int, c_size_t, c_char_p, c_void_p = ctypes.c_int, ctypes.c_size_t, ctypes.c_char_p, ctypes.c_void_p
    signatures = {
        "zrv_create": (c_int, [c_char_p, ctypes.POINTER(c_void_p)]),
        "zrv_release": (None, [c_void_p]),
        "zrv_invoke": (
            c_int,
            [c_void_p, ctypes.c_int32, ctypes.c_uint, ctypes.POINTER(Variant), c_size_t,
             ctypes.POINTER(Variant)],
        ),
        "zrv_error_number": (c_int, [c_void_p]),
        "zrv_error_timed_out": (c_int, [c_void_p]),
        "zrv_abandon": (c_int, [c_void_p, c_int]),
        "zrv_copy_error_text": (c_size_t, [c_void_p, c_char_p, c_size_t]),
        "zrv_get_dispid": (c_int, [c_char_p, ctypes.POINTER(ctypes.c_int32)]),
        "zrv_member_count": (c_size_t, []),
        "zrv_member_info": (c_int, [c_size_t, ctypes.POINTER(Member)]),
        "zrv_map_port": (c_int, [ctypes.c_int16, c_char_p]),
    }
    for name, (restype, argtypes) in signatures.items():
        function = getattr(lib, name)
        function.restype = restype
        function.argtypes = argtypes


class _Interrupts:
    """Ctrl+C during a board call on the main thread: Python's own handler only runs once the
    call returns, so the wake-up descriptor of the signal module tells a watcher thread, which
    asks the library to abandon the wait. The call then returns at once and Python raises
    KeyboardInterrupt. Where another wake-up descriptor is in place (an asyncio loop's), it
    is left alone and calls run to their end as before."""

    def __init__(self, cdll: ctypes.CDLL) -> None:
        self._cdll = cdll
        self._lock = threading.Lock()
        self._handle: ctypes.c_void_p | None = None  # the main thread's call under way
        self._read, self._write = os.pipe()
        os.set_blocking(self._write, False)
        threading.Thread(target=self._watch, name="zrv-interrupts", daemon=True).start()

    def _watch(self) -> None:
        while True:
            data = os.read(self._read, 64)
            with self._lock:
                if signal.SIGINT in data and self._handle is not None:
                    self._cdll.zrv_abandon(self._handle, 1)

    def begin(self, handle: ctypes.c_void_p) -> bool:
        """Watches for Ctrl+C during a call on handle; False when this thread cannot."""
        if threading.current_thread() is not threading.main_thread():
            return False
        try:
            previous = signal.set_wakeup_fd(self._write, warn_on_full_buffer=False)
        except ValueError:  # not the main interpreter
            return False
        if previous not in (-1, self._write):
            signal.set_wakeup_fd(previous)
            return False
        with self._lock:
            # A request that came as the last call ended must not abandon this one.
            self._cdll.zrv_abandon(handle, 0)
            self._handle = handle
        return True

    def forget(self, handle: ctypes.c_void_p) -> None:
        """Called before handle is released: the watcher must not reach it any more."""
        with self._lock:
            if self._handle is handle:
                self._handle = None


class Library:
    """The loaded library, with the calls the module makes through it."""

    def __init__(self, path: str) -> None:
        self.path = path
        self._cdll = ctypes.CDLL(path)
        _bind(self._cdll)
        self._dispids: dict[str, int] = {}
        self._interrupts: _Interrupts | None = None
        self._interrupts_lock = threading.Lock()

    def interrupts(self) -> _Interrupts:
        with self._interrupts_lock:
            if self._interrupts is None:
                self._interrupts = _Interrupts(self._cdll)
            return self._interrupts

    def error_text(self, handle: ctypes.c_void_p | None) -> str:
        """The text of the last failed call on handle (None: of this thread's last failed
        call without an object)."""
        size = self._cdll.zrv_copy_error_text(handle, None, 0)
        buffer = ctypes.create_string_buffer(size + 1)
        self._cdll.zrv_copy_error_text(handle, buffer, size + 1)
        return buffer.value.decode("utf-8", "replace")

    def _check(self, number: int, handle: ctypes.c_void_p | None = None) -> None:
        if number != 0:
            timed_out = self._cdll.zrv_error_timed_out(handle) != 0
            raise error(number, self.error_text(handle), timed_out)

    def create(self) -> ctypes.c_void_p:
        handle = ctypes.c_void_p()
        self._check(self._cdll.zrv_create(PROGID, ctypes.byref(handle)))
        return handle

    def release(self, handle: ctypes.c_void_p) -> None:
        with self._interrupts_lock:
            interrupts = self._interrupts
        if interrupts is not None:
            interrupts.forget(handle)
        self._cdll.zrv_release(handle)

    def dispid(self, name: str) -> int:
        dispid = self._dispids.get(name)
        if dispid is None:
            value = ctypes.c_int32()
            self._check(self._cdll.zrv_get_dispid(name.encode("ascii"), ctypes.byref(value)))
            dispid = self._dispids[name] = value.value
        return dispid

    def invoke(self, handle: ctypes.c_void_p, name: str, kind: int, args: Sequence[object]) -> Any:
        """Calls a member by name; returns its result as a Python value or raises ZRVError.
        The caller holds the object's lock: the error text belongs to the object's last call.
        Ctrl+C on the main thread abandons the call (KeyboardInterrupt)."""
        dispid = self.dispid(name)
        keep: list[bytes] = []
        array = (Variant * len(args))(*(to_variant(a, keep) for a in args))
        result = Variant()
        interrupts = self.interrupts()
        watching = interrupts.begin(handle)
        try:
            number = self._cdll.zrv_invoke(handle, dispid, kind, array, len(args),
                                           ctypes.byref(result))
        finally:
            if watching:
                # A plain store, not a call: KeyboardInterrupt cannot come before it.
                interrupts._handle = None
        self._check(number, handle)
        return from_variant(result)

    def map_port(self, comm_port: int, device: str | None) -> None:
        if not isinstance(comm_port, int) or isinstance(comm_port, bool):
            raise TypeError("a port number is an int, not %s" % type(comm_port).__name__)
        if not -(2**15) <= comm_port < 2**15:
            raise error(8002, "COM%d is not a port number (1 to 255)" % comm_port)
        data = device.encode("utf-8") if device else None
        self._check(self._cdll.zrv_map_port(comm_port, data))

    def members(self) -> list[tuple[str, int, int, str]]:
        """(name, kinds, number of arguments, help text) of every member, in order."""
        out: list[tuple[str, int, int, str]] = []
        for index in range(self._cdll.zrv_member_count()):
            info = Member()
            self._check(self._cdll.zrv_member_info(index, ctypes.byref(info)))
            out.append(
                (info.name.decode("ascii"), info.kinds, info.params,
                 (info.help or b"").decode("utf-8", "replace").strip())
            )
        return out


_loaded: Library | None = None
_loading = threading.Lock()


def load() -> Library:
    """The library, loaded at the first call; LibraryNotFoundError when it cannot be."""
    global _loaded
    with _loading:
        if _loaded is None:
            path, tried = find()
            try:
                _loaded = Library(path)
            except (OSError, AttributeError) as e:
                if os.environ.get("ZRV_LIBRARY"):
                    where = "from ZRV_LIBRARY=%s: %s" % (path, e)
                else:
                    where = "(%s)\nLooked for it in:%s" % (e, "".join("\n  " + t for t in tried))
                raise LibraryNotFoundError(
                    "cannot load the ZRV library %s\nBuild it (cmake --build build --target zrv), "
                    "install it, or set ZRV_LIBRARY to the path of libzrv.so." % where
                ) from None
        return _loaded
