#include "recentfiles.h"

#include "app/settings/storedsettings.h"

namespace zrvlog {

void RecentFiles::restore() {
  for (int i = 1; i <= kCount; ++i) {
    Entry& e = m_entries[i - 1];
    e.path = m_store.recentPath(i);
    e.caption = m_store.recentCaption(i);
    e.visible = !e.caption.isEmpty();
  }
}

void RecentFiles::add(const QString& path) {
  int p = kCount;
  for (int i = 1; i <= kCount; ++i) {
    if (m_entries[i - 1].path == path) {
      p = i;
      break;
    }
  }
  for (int i = p - 1; i >= 1; --i) {
    Entry& moved = m_entries[i];
    moved.caption = m_entries[i - 1].caption;
    moved.path = m_entries[i - 1].path;
    if (!moved.caption.isEmpty()) moved.visible = true;
    store(i + 1);
  }
  m_entries[0] = {path, path, true};
  store(1);
  m_store.sync();
}

bool RecentFiles::anyVisible() const {
  for (const Entry& e : m_entries)
    if (e.visible) return true;
  return false;
}

void RecentFiles::store(int index) {
  const Entry& e = m_entries[index - 1];
  m_store.setRecent(index, e.caption, e.path);
}

}  // namespace zrvlog
