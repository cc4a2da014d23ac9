#include "zoomhistory.h"

namespace zrvlog {

void ZoomHistory::push(const ViewRanges& view) {
  if (!m_views.empty()) m_views.erase(m_views.begin() + m_at + 1, m_views.end());
  if (m_views.empty() || m_views.back() != view) m_views.push_back(view);
  if (m_views.size() > kLimit) m_views.erase(m_views.begin());
  m_at = m_views.size() - 1;
}

void ZoomHistory::record(const ViewRanges& from, const ViewRanges& to) {
  if (from == to) return;
  push(from);
  push(to);
}

std::optional<ViewRanges> ZoomHistory::back(const ViewRanges& current) {
  if (m_views.empty()) return std::nullopt;
  if (m_views[m_at] != current) push(current);
  if (m_at == 0) return std::nullopt;
  return m_views[--m_at];
}

std::optional<ViewRanges> ZoomHistory::forward() {
  if (!canGoForward()) return std::nullopt;
  return m_views[++m_at];
}

void ZoomHistory::clear() {
  m_views.clear();
  m_at = 0;
}

}  // namespace zrvlog
