#pragma once
// A sample store as a power cut leaves it: the header's durable count is the one of its last
// sync (none), so every row is checked when the store is opened again; a torn row holds a
// value other than the one its check was made over, as a page the disk wrote only in part.

#include <gtest/gtest.h>

#include <QFile>
#include <QString>
#include <cstdint>
#include <optional>

namespace zrvtest {

inline void cutPower(const QString& storeFolder, std::optional<qint64> tornRow = std::nullopt) {
  constexpr qint64 kDurableRowsAt = 40;  // magic, version, channels, rows, two counts
  QFile header(storeFolder + QStringLiteral("/header"));
  ASSERT_TRUE(header.open(QIODevice::ReadWrite));
  ASSERT_TRUE(header.seek(kDurableRowsAt));
  const uint64_t none = 0;
  ASSERT_EQ(header.write(reinterpret_cast<const char*>(&none), sizeof(none)), 8);
  if (!tornRow) return;
  QFile column(storeFolder + QStringLiteral("/channel3.f64"));
  ASSERT_TRUE(column.open(QIODevice::ReadWrite));
  ASSERT_TRUE(column.seek(*tornRow * qint64(sizeof(double))));
  const double torn = 1e300;
  ASSERT_EQ(column.write(reinterpret_cast<const char*>(&torn), sizeof(torn)), 8);
}

}  // namespace zrvtest
