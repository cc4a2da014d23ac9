#pragma once
// What the board control needs from the program that hosts it: whether the host is in
// design mode, a way to let the host process its pending events while a command waits for
// the board, and a notice when a property has changed. The defaults suit a plain Qt
// program at run time; hosts and tests derive from Host to change them.

#include <QString>

#include "board/export.h"

namespace zrv {

class ZRV_EXPORT Host {
 public:
  virtual ~Host() = default;

  /// True while the host lays out its form: run-time properties refuse to be set.
  virtual bool designMode() const { return false; }
  /// Lets the host run its pending events (timers, user input) once and return. Default:
  /// QCoreApplication::processEvents() when an application object exists, else nothing.
  virtual void processEvents();
  /// A property's value has changed (its member name, e.g. "CommPort"). Default: nothing.
  virtual void propertyChanged(const QString& name) { Q_UNUSED(name); }
};

/// The host used when none is given: run time, Qt events, no notices.
ZRV_EXPORT Host& defaultHost();

}  // namespace zrv
