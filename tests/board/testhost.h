#pragma once
// A host for ZRVIO tests: design mode on demand, a hook run where the host would process
// its events, and a log of property-changed notices.

#include <QStringList>
#include <functional>

#include "board/host.h"

namespace zrv {

class TestHost : public Host {
 public:
  bool design = false;
  int eventPasses = 0;
  std::function<void()> onEvents;
  QStringList changed;

  bool designMode() const override { return design; }
  void processEvents() override {
    ++eventPasses;
    if (onEvents) onEvents();
  }
  void propertyChanged(const QString& name) override { changed.append(name); }
};

}  // namespace zrv
