"""python3 -m zrv [--port PORT] MEMBER [ARG...]: one member of the board control, called
from the shell, e.g. `python3 -m zrv --port sim a2d 0`."""

import argparse
import os
import sys

EXIT_FAILED, EXIT_USAGE, EXIT_NO_ANSWER = 1, 2, 3

_EPILOG = """\
A method is called with the arguments given; a property is read with its index arguments
(eeprom 16) or assigned with one argument more (pins 90, eeprom 16 65). Arguments are
true/false, numbers (hex as 0x5A) or text; member names are case-insensitive.

Exit status: 0 done; 1 the member or opening the port failed ("error N: text" on stderr);
2 the command line is wrong; 3 the board did not answer.
"""


def _value(word):
    lowered = word.strip().lower()
    if lowered in ("true", "false"):
        return lowered == "true"
    for convert in (lambda w: int(w, 0), float):
        try:
            return convert(word)
        except ValueError:
            pass
    return word


def _parser():
    parser = argparse.ArgumentParser(
        prog="python3 -m zrv",
        description="Calls one member of a ZRV I/O board's control and prints its result.",
        epilog=_EPILOG,
        formatter_class=argparse.RawDescriptionHelpFormatter,
    )
    parser.add_argument(
        "-p", "--port", default="1",
        help='a COM number of the port map (default 1), "sim" for the simulated board, '
        "or a device path such as /dev/ttyUSB0",
    )
    parser.add_argument("--list", action="store_true", help="list the members and exit")
    parser.add_argument("member", nargs="?", help="the member to call, e.g. a2d")
    parser.add_argument("args", nargs="*", help="its arguments")
    return parser


def _fail(text, status):
    print("zrv: " + text, file=sys.stderr)
    return status


def main(argv=None):
    # The tool reports failures itself; the library's warnings would only repeat them.
    os.environ.setdefault("QT_LOGGING_RULES", "zrv.board.warning=false")
    import zrv

    parser = _parser()
    options = parser.parse_args(argv)
    try:
        members = zrv.members()
    except zrv.LibraryNotFoundError as e:
        return _fail(str(e), EXIT_FAILED)
    if options.list:
        for name, kinds, params, help_text in members:
            kind = "method" if kinds & zrv._M else "property"
            print("%-10s %-8s %d argument(s)  %s" % (name, kind, params, help_text))
        return 0
    if not options.member:
        parser.print_usage(sys.stderr)
        return _fail("name a member (--list shows them)", EXIT_USAGE)

    found = [m for m in members if m[0].lower() == options.member.lower()]
    if not found:
        return _fail("the control has no member '%s' (--list shows them)" % options.member,
                     EXIT_USAGE)
    name, kinds, params, _ = found[0]
    if name in ("CommPort", "portopen"):
        return _fail("%s is set through --port" % name, EXIT_USAGE)
    args = [_value(a) for a in options.args]
    if kinds & zrv._M:
        kind, allowed = zrv._M, (params,)
    else:
        kind, allowed = (zrv._PUT if len(args) == params + 1 else zrv._GET), (params, params + 1)
    if len(args) not in allowed:
        return _fail("%s takes %s argument(s), not %d" % (
            name, " or ".join(str(n) for n in allowed), len(args)), EXIT_USAGE)

    try:
        board = zrv.ZRVIO(port=options.port)
    except (zrv.ZRVError, ValueError) as e:
        return _fail("cannot open the port: %s" % e, EXIT_FAILED)
    except zrv.LibraryNotFoundError as e:
        return _fail(str(e), EXIT_FAILED)
    with board:
        if board.errflag:
            return _fail("no board answers on port %s" % options.port, EXIT_NO_ANSWER)
        try:
            result = board._invoke(name, kind, *args)
        except zrv.ZRVError as e:
            return _fail("%s: %s" % (name, e), EXIT_FAILED)
        except TypeError as e:
            return _fail("%s: %s" % (name, e), EXIT_USAGE)
        # A reply that never came reads as 0; say so instead of printing it.
        if board.errflag:
            return _fail("%s: the board did not answer" % name, EXIT_NO_ANSWER)
    if result is not None:
        print(result)
    return 0


if __name__ == "__main__":
    sys.exit(main())
