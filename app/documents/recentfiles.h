#pragma once
// The recent-file list: the four data files most recently saved or opened, newest first,
// kept in the settings store (sections "MRU" for the captions and "MRUTag" for the paths,
// keys "1" to "4") and written through at every change.

#include <QString>
#include <array>

namespace zrvlog {

class StoredSettings;

class RecentFiles {
 public:
  static constexpr int kCount = 4;

  struct Entry {
    QString caption;       ///< what the menu shows: the full path
    QString path;          ///< what choosing the entry opens
    bool visible = false;  ///< shown once it has held a path
  };

  explicit RecentFiles(StoredSettings& store) : m_store(store) {}

  /// Reads the four entries from the store (start-up).
  void restore();
  /// AddRecentFile: puts path at the top. An entry that already holds path (compared
  /// exactly, letter case counting) moves up; otherwise the oldest drops out. The entries
  /// that changed are written to the store.
  void add(const QString& path);

  /// Entry 1 to 4.
  const Entry& entry(int index) const { return m_entries[index - 1]; }
  bool anyVisible() const;

 private:
  void store(int index);

  StoredSettings& m_store;
  std::array<Entry, kCount> m_entries;
};

}  // namespace zrvlog
