#pragma once
// The analysis CSV: the recording as analysis tools read it, beside the spreadsheet CSV
// (which keeps its own layout). Time stamps in ISO-8601 local time with the UTC offset, to
// the millisecond; seconds elapsed since the first sample; the recorded channels only, with
// their names and unit as headers; a point decimal and LF line ends whatever the locale.

#include <QDateTime>
#include <QIODevice>
#include <QString>
#include <optional>

#include "app/documents/datafile.h"

namespace zrv {
class Variant;
}

namespace zrvlog {

/// "2024-03-05T14:03:07.250+01:00": the local time with its offset from UTC.
QString isoWithOffset(const QDateTime& local);

/// The unit of the value axis: what the Y label format puts after its number ("%g V": "V"),
/// else the parenthesised end of the Y axis title ("Pressure (kPa)": "kPa"); empty if neither.
QString valueAxisUnit(const GraphModel& graph);

/// Writes the header and one row per complete sample with channels 0..channels-1; elapsed
/// seconds count from the first time stamp that is a date. A time stamp that is not a date leaves
/// its row's Time and Elapsed cells empty and is reported in rowsError; the values are written all
/// the same.
SaveResult writeAnalysisCsv(QIODevice& out, const Document& document, int channels);

}  // namespace zrvlog
