#pragma once
// ZRVLOG without its window, for lab machines without a display and for scripts:
//
//   zrvlog --headless [--port N|sim|DEVICE] [--interval S] [--stop S] [--channels N]
//                     [--average N] [--reference vdd|ch3|ch3-ch2] [--raw] [--quiet]
//                     [--zrv FILE] [--csv FILE|-]
//   zrvlog --convert IN.zrv [--csv FILE] [--bmp FILE] [--png FILE] [--pdf FILE] [--size WxH]
//   zrvlog --recover [--zrv FILE] [--csv FILE] [--discard]
//
// The recorder runs the same engine as the window and writes the same files; Ctrl+C,
// SIGTERM or SIGHUP ends the run and keeps every sample taken. Exit statuses (cli.h): 0
// done, 1 the run, the board or a file failed (what was recorded is still written), 2 the
// options are wrong, 3 the reader of the live CSV went away.

namespace zrvlog {

/// True when the arguments ask for one of the modes above.
bool isCommandLineMode(int argc, char** argv);
/// Runs that mode (it creates the application object it needs) and returns the exit status.
int runCommandLine(int argc, char** argv);

}  // namespace zrvlog
