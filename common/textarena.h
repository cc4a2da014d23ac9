#pragma once
// TextArena: many short texts in one block. A million sample keys as QStrings would cost
// about 60 bytes each; here a key like "T4999.995" costs its UTF-8 bytes plus a 4-byte end.

#include <QString>
#include <QStringView>
#include <cstdint>
#include <string>
#include <string_view>
#include <vector>

namespace zrv {

class TextArena {
 public:
  /// Appends a text; raises error 7 once the block would pass 4 GiB.
  void append(QStringView text);
  /// Appends a text given as valid UTF-8 (no conversion).
  void appendUtf8(std::string_view bytes);
  QString at(std::size_t index) const { return QString::fromUtf8(bytesAt(index)); }
  /// The UTF-8 bytes of an entry.
  std::string_view bytesAt(std::size_t index) const {
    const uint32_t begin = index == 0 ? 0 : m_ends[index - 1];
    return std::string_view(m_bytes).substr(begin, m_ends[index] - begin);
  }
  std::size_t size() const { return m_ends.size(); }
  /// Room for this many more entries of about this many bytes in all.
  void reserve(std::size_t entries, std::size_t bytes) {
    m_ends.reserve(m_ends.size() + entries);
    m_bytes.reserve(m_bytes.size() + bytes);
  }
  void clear();
  std::size_t memoryBytes() const {
    return m_bytes.capacity() + m_ends.capacity() * sizeof(uint32_t);
  }

 private:
  std::string m_bytes;
  std::vector<uint32_t> m_ends;  // end offset of each entry; an entry starts where the last ends
};

}  // namespace zrv
