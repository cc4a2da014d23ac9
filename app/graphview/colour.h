#pragma once
// Colours of the graph's members are 32-bit 00BBGGRR values.

#include <QColor>
#include <cstdint>

namespace zrvlog {

inline QColor fromBgr(int32_t bgr) {
  return QColor(bgr & 0xFF, (bgr >> 8) & 0xFF, (bgr >> 16) & 0xFF);
}

inline int32_t toBgr(const QColor& c) {
  return int32_t(c.red()) | (int32_t(c.green()) << 8) | (int32_t(c.blue()) << 16);
}

}  // namespace zrvlog
