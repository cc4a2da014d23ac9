#pragma once
// Counts as people read them: "1 sample", "2 samples", "1,234 missed ticks".

#include <QLatin1Char>
#include <QLocale>
#include <QString>

namespace zrv {

/// n and the noun, with an "s" unless n is 1; the number as locale writes it (the C locale
/// groups no digits, for texts that programs read too).
inline QString counted(qulonglong n, const QString& noun, const QLocale& locale = QLocale::c()) {
  return locale.toString(n) + QLatin1Char(' ') + noun + (n == 1 ? QString() : QStringLiteral("s"));
}

}  // namespace zrv
