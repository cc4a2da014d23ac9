#include "textcodec.h"

namespace zrvlog {

namespace {

// 0x80-0x9F of Windows-1252; 0 marks the five undefined bytes.
constexpr char16_t kHigh[32] = {
    0x20AC, 0,      0x201A, 0x0192, 0x201E, 0x2026, 0x2020, 0x2021,  // 80-87
    0x02C6, 0x2030, 0x0160, 0x2039, 0x0152, 0,      0x017D, 0,       // 88-8F
    0,      0x2018, 0x2019, 0x201C, 0x201D, 0x2022, 0x2013, 0x2014,  // 90-97
    0x02DC, 0x2122, 0x0161, 0x203A, 0x0153, 0,      0x017E, 0x0178,  // 98-9F
};

// The length of the valid UTF-8 sequence at p (1-4), or 0 when the bytes there are not one
// (overlong forms, surrogates and code points above U+10FFFF are not valid).
int utf8Sequence(const unsigned char* p, std::size_t left, char32_t& cp) {
  const unsigned char b = p[0];
  int len;
  char32_t min;
  if (b >= 0xC2 && b <= 0xDF) {
    len = 2, cp = b & 0x1F, min = 0x80;
  } else if (b >= 0xE0 && b <= 0xEF) {
    len = 3, cp = b & 0x0F, min = 0x800;
  } else if (b >= 0xF0 && b <= 0xF4) {
    len = 4, cp = b & 0x07, min = 0x10000;
  } else {
    return 0;
  }
  if (left < std::size_t(len)) return 0;
  for (int i = 1; i < len; ++i) {
    if ((p[i] & 0xC0) != 0x80) return 0;
    cp = (cp << 6) | (p[i] & 0x3F);
  }
  if (cp < min || cp > 0x10FFFF || (cp >= 0xD800 && cp <= 0xDFFF)) return 0;
  return len;
}

}  // namespace

char16_t windows1252ToUnicode(unsigned char byte) {
  if (byte < 0x80 || byte > 0x9F) return byte;
  const char16_t c = kHigh[byte - 0x80];
  return c ? c : byte;
}

QString decodeFileText(std::string_view bytes) {
  const auto* p = reinterpret_cast<const unsigned char*>(bytes.data());
  const std::size_t n = bytes.size();
  std::size_t i = 0;
  while (i < n && p[i] < 0x80)
    ++i;
  if (i == n) return QString::fromLatin1(bytes.data(), qsizetype(n));
  QString out;
  out.reserve(qsizetype(n));
  out.append(QLatin1String(bytes.data(), qsizetype(i)));
  while (i < n) {
    const unsigned char b = p[i];
    if (b < 0x80) {
      out.append(QChar(b));
      ++i;
      continue;
    }
    char32_t cp = 0;
    if (const int len = utf8Sequence(p + i, n - i, cp)) {
      if (cp >= 0x10000) {
        out.append(QChar(QChar::highSurrogate(cp)));
        out.append(QChar(QChar::lowSurrogate(cp)));
      } else {
        out.append(QChar(char16_t(cp)));
      }
      i += std::size_t(len);
    } else {
      out.append(QChar(windows1252ToUnicode(b)));
      ++i;
    }
  }
  return out;
}

void appendUtf8(std::string& out, QStringView text) {
  const qsizetype n = text.size();
  qsizetype i = 0;
  const char16_t* u = text.utf16();
  while (i < n && u[i] < 0x80)
    ++i;
  if (i == n) {
    const std::size_t at = out.size();
    out.resize(at + std::size_t(n));
    for (qsizetype k = 0; k < n; ++k)
      out[at + std::size_t(k)] = static_cast<char>(u[k]);
    return;
  }
  const QByteArray utf8 = text.toUtf8();
  out.append(utf8.constData(), std::size_t(utf8.size()));
}

}  // namespace zrvlog
