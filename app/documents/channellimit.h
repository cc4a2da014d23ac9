#pragma once
// How many analog channels a run reads at most: the data set's columns, the options, the
// command line, the files and the published samples all hold this many. Plain C++, so that
// parts without Qt (publishing) use it as well.

namespace zrvlog {

inline constexpr int kChannels = 5;

}  // namespace zrvlog
