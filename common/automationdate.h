#pragma once
// Date-times as automation values: a double counting days from 1899-12-30 00:00 local time,
// the fraction being the time of day. Before that epoch the integer part counts days back
// and the fraction still runs forward (-1.25 is 1899-12-29 06:00).

#include <QDateTime>
#include <QString>

namespace zrv {

double toAutomationDate(const QDateTime& local);
QDateTime fromAutomationDate(double days);

/// The user's "general date": the short date followed by the long time without a time zone;
/// the date alone at midnight, the time alone on day 0.
QString formatGeneralDate(double days);

}  // namespace zrv
