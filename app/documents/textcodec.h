#pragma once
// Text of the data file: written as UTF-8, read as UTF-8 where the bytes are valid UTF-8 and
// as Windows-1252 where they are not, so that files written by Windows programs in the
// 8-bit Western code page open here too (and a file that mixes both loses nothing).

#include <QString>
#include <QStringView>
#include <string>
#include <string_view>

namespace zrvlog {

/// Decodes bytes: valid UTF-8 sequences as UTF-8, every other byte as Windows-1252.
QString decodeFileText(std::string_view bytes);

/// The character Windows-1252 gives a byte (the five bytes it leaves undefined keep their
/// C1 control code, as Windows itself maps them).
char16_t windows1252ToUnicode(unsigned char byte);

/// Appends text as UTF-8.
void appendUtf8(std::string& out, QStringView text);

}  // namespace zrvlog
