#pragma once
// Lets GoogleTest show automation values readably in failure messages ("Double 0.5").

#include <ostream>

#include "common/variant.h"

namespace zrv {
inline void PrintTo(const Variant& value, std::ostream* os) {
  *os << describe(value).toStdString();
}
}  // namespace zrv
