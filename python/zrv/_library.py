"""Finding libzrv.so and calling its C interface (board/zrv.h) through ctypes.

Nothing here knows the board's members: calls go by dispatch number, looked up by name, with
variant arguments, exactly as any other host of the C interface makes them.
"""

import ctypes
import ctypes.util
import math
import os
import threading

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
    8002 no such port, ...) and its text, as the library reports them."""

    __module__ = "zrv"

    def __init__(self, number, text):
        super().__init__(number, text)
        self.number = number
        self.text = text

    def __str__(self):
        return "error %d: %s" % (self.number, self.text)


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


def to_variant(value, keep):
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


def from_variant(variant):
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
    raise ZRVError(51, "the library returned a value of variant type %d" % vt)


def _candidates():
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


def find():
    """The path of the library to load and a list of what was tried before it."""
    tried = []
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


def _bind(lib):
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


class Library:
    """The loaded library, with the calls the module makes through it."""

    def __init__(self, path):
        self.path = path
        self._cdll = ctypes.CDLL(path)
        _bind(self._cdll)
        self._dispids = {}

    def error_text(self, handle):
        """The text of the last failed call on handle (None: of this thread's last failed
        call without an object)."""
        size = self._cdll.zrv_copy_error_text(handle, None, 0)
        buffer = ctypes.create_string_buffer(size + 1)
        self._cdll.zrv_copy_error_text(handle, buffer, size + 1)
        return buffer.value.decode("utf-8", "replace")

    def _check(self, number, handle=None):
        if number != 0:
            raise ZRVError(number, self.error_text(handle))

    def create(self):
        handle = ctypes.c_void_p()
        self._check(self._cdll.zrv_create(PROGID, ctypes.byref(handle)))
        return handle

    @property
    def release(self):
        return self._cdll.zrv_release

    def dispid(self, name):
        dispid = self._dispids.get(name)
        if dispid is None:
            value = ctypes.c_int32()
            self._check(self._cdll.zrv_get_dispid(name.encode("ascii"), ctypes.byref(value)))
            dispid = self._dispids[name] = value.value
        return dispid

    def invoke(self, handle, name, kind, args):
        """Calls a member by name; returns its result as a Python value or raises ZRVError.
        The caller holds the object's lock: the error text belongs to the object's last call."""
        dispid = self.dispid(name)
        keep = []
        array = (Variant * len(args))(*(to_variant(a, keep) for a in args))
        result = Variant()
        self._check(
            self._cdll.zrv_invoke(handle, dispid, kind, array, len(args), ctypes.byref(result)),
            handle,
        )
        return from_variant(result)

    def map_port(self, comm_port, device):
        if not isinstance(comm_port, int) or isinstance(comm_port, bool):
            raise TypeError("a port number is an int, not %s" % type(comm_port).__name__)
        if not -(2**15) <= comm_port < 2**15:
            raise ZRVError(8002, "COM%d is not a port number (1 to 255)" % comm_port)
        data = device.encode("utf-8") if device else None
        self._check(self._cdll.zrv_map_port(comm_port, data))

    def members(self):
        """(name, kinds, number of arguments, help text) of every member, in order."""
        out = []
        for index in range(self._cdll.zrv_member_count()):
            info = Member()
            self._check(self._cdll.zrv_member_info(index, ctypes.byref(info)))
            out.append(
                (info.name.decode("ascii"), info.kinds, info.params,
                 (info.help or b"").decode("utf-8", "replace").strip())
            )
        return out


_loaded = None
_loading = threading.Lock()


def load():
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
