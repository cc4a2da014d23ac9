#pragma once
// The ranges the user has looked at, for Back and Forward: every zoom, pan and fit is
// remembered as a move from one view to another, like the pages of a browser.

#include <cstddef>
#include <optional>
#include <vector>

#include "app/graph/nicescale.h"

namespace zrvlog {

class ZoomHistory {
 public:
  /// The oldest views are forgotten beyond this many.
  static constexpr size_t kLimit = 100;

  /// The user moved from `from` to `to`: the views ahead of the current one are dropped.
  void record(const ViewRanges& from, const ViewRanges& to);
  /// The view before the current one. When what is shown (`current`) is not the view last
  /// remembered (a run scrolled on since), it is remembered first, so Forward comes back to it.
  std::optional<ViewRanges> back(const ViewRanges& current);
  std::optional<ViewRanges> forward();
  bool canGoBack() const { return m_at > 0; }
  bool canGoForward() const { return m_at + 1 < m_views.size(); }
  void clear();

  size_t size() const { return m_views.size(); }

 private:
  void push(const ViewRanges& view);

  std::vector<ViewRanges> m_views;
  size_t m_at = 0;  // the current view, when there is one
};

}  // namespace zrvlog
