#include "automationdate.h"

#include <QLocale>
#include <QRegularExpression>
#include <cmath>

namespace zrv {

namespace {
const QDate kEpoch(1899, 12, 30);
constexpr double kMsPerDay = 86'400'000.0;

// The locale's long time format without its time-zone field, which a local wall-clock time
// stamp does not carry.
QString longTimeFormat() {
  QString format = QLocale().timeFormat(QLocale::LongFormat);
  format.remove(QRegularExpression(QStringLiteral("\\s*t+\\s*")));
  return format.trimmed();
}
}  // namespace

double toAutomationDate(const QDateTime& local) {
  const qint64 days = kEpoch.daysTo(local.date());
  const double fraction = local.time().msecsSinceStartOfDay() / kMsPerDay;
  return days >= 0 ? static_cast<double>(days) + fraction : static_cast<double>(days) - fraction;
}

QDateTime fromAutomationDate(double days) {
  const double whole = std::trunc(days);
  qint64 ms = std::llround(std::fabs(days - whole) * kMsPerDay);
  QDate date = kEpoch.addDays(static_cast<qint64>(whole));
  // The time of day always runs forward, before the epoch too: a time that rounds up to
  // midnight is the start of the next calendar day.
  if (ms >= static_cast<qint64>(kMsPerDay)) {
    ms = 0;
    date = date.addDays(1);
  }
  return QDateTime(date, QTime::fromMSecsSinceStartOfDay(static_cast<int>(ms)));
}

QString formatGeneralDate(double days) {
  const QDateTime dt = fromAutomationDate(days);
  const QLocale locale;
  const bool hasDate = std::trunc(days) != 0;
  const bool hasTime = dt.time().msecsSinceStartOfDay() != 0;
  QString text;
  if (hasDate || !hasTime) text = locale.toString(dt.date(), QLocale::ShortFormat);
  if (hasTime) {
    if (!text.isEmpty()) text += QLatin1Char(' ');
    text += locale.toString(dt.time(), longTimeFormat());
  }
  return text;
}

}  // namespace zrv
