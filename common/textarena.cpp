#include "textarena.h"

#include <limits>

#include "automationerror.h"

namespace zrv {

void TextArena::append(QStringView text) {
  const std::size_t before = m_bytes.size();
  bool ascii = true;
  for (QChar c : text) {
    if (c.unicode() >= 0x80) {
      ascii = false;
      break;
    }
  }
  if (ascii) {
    m_bytes.resize(before + std::size_t(text.size()));
    char* out = m_bytes.data() + before;
    for (QChar c : text)
      *out++ = static_cast<char>(c.unicode());
  } else {
    const QByteArray utf8 = text.toUtf8();
    m_bytes.append(utf8.constData(), static_cast<std::size_t>(utf8.size()));
  }
  if (m_bytes.size() > std::numeric_limits<uint32_t>::max()) {
    m_bytes.resize(before);
    throw AutomationError(err::kOutOfMemory,
                          QStringLiteral("more than 4 GiB of text in one collection"));
  }
  m_ends.push_back(static_cast<uint32_t>(m_bytes.size()));
}

void TextArena::appendUtf8(std::string_view bytes) {
  if (m_bytes.size() + bytes.size() > std::numeric_limits<uint32_t>::max())
    throw AutomationError(err::kOutOfMemory,
                          QStringLiteral("more than 4 GiB of text in one collection"));
  m_bytes.append(bytes);
  m_ends.push_back(static_cast<uint32_t>(m_bytes.size()));
}

void TextArena::clear() {
  std::string().swap(m_bytes);
  std::vector<uint32_t>().swap(m_ends);
}

}  // namespace zrv
