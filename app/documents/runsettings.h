#pragma once
// The settings that steer sampling and the graph. They are public by name: the options
// dialog fills its fields from them and assigns them on Apply, the data file saves and
// restores them. Variant settings keep what was assigned, text as typed, and are converted
// where a number is needed.

#include <cstdint>

#include "common/variant.h"

namespace zrvlog {

struct AcquisitionSettings {
  /// Stop time in seconds as typed; empty (or empty text): run until stopped.
  zrv::Variant stopsec;
  /// The X and Y ranges of the graph in seconds and calibrated units.
  zrv::Variant MAXX = int16_t{100};
  zrv::Variant MAXY = int16_t{5};
  zrv::Variant MINX = int16_t{0};
  zrv::Variant MINY = int16_t{0};
  /// Conversions summed per channel per sample (the sum is divided by it); at least 1.
  int16_t AvgCt = 1;
  /// Channels read per sample: 0 to ChanLimit - 1, at most 5.
  int16_t ChanLimit = 5;
  /// A/D clock doubling handed to the board when a run starts.
  bool ClkX2 = true;
  /// A/D reference code handed to the board when a run starts: 0, 1 or 8.
  int16_t RefSel = 0;
  /// Timing tolerance in percent of the sample interval.
  zrv::Variant Tol = int16_t{25};
};

}  // namespace zrvlog
