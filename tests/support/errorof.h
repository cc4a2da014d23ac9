#pragma once
// What a call raises, for tables of failure cases.

#include <QString>
#include <functional>

#include "common/automationerror.h"

namespace zrv {

/// The error number a call raises, 0 when it raises none.
inline int errorOf(const std::function<void()>& call) {
  try {
    call();
  } catch (const AutomationError& e) {
    return e.number();
  }
  return 0;
}

/// The message of the error a call raises, empty when it raises none.
inline QString messageOf(const std::function<void()>& call) {
  try {
    call();
  } catch (const AutomationError& e) {
    return e.message();
  }
  return {};
}

}  // namespace zrv
