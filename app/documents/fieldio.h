#pragma once
// The fields of the data file, one layer below its layout.
//
// A line is a list of fields joined by single commas and ended by CR LF. A field is written
// by the type of its value: text in double quotes with nothing escaped, whole numbers in
// decimal, booleans as #TRUE# / #FALSE#, doubles in the file form (.25, 1E-05), date-times
// as #yyyy-mm-dd hh:mm:ss#; an empty variant writes nothing between its separators.
//
// The reader ignores the line structure: it takes field after field, a line end counting
// like a comma. Leading blanks are skipped; a field opening with a double quote is text up to
// the next double quote, and the rest up to the separator is dropped; #TRUE#, #FALSE# and
// #date# are booleans and dates; an empty field is an empty variant; anything else runs to
// the separator and is a number where it is one, else text. A field is at most
// kMaxFieldBytes long from its separator before to its separator after.

#include <QIODevice>
#include <QString>
#include <cstdint>
#include <optional>
#include <string>
#include <string_view>

#include "common/variant.h"

namespace zrvlog {

/// The longest field a data file holds. Real ones (a caption, a time stamp, a number) are far
/// shorter; a longer one is refused before it is read whole, so a damaged or hostile file
/// costs no more than this much work per field.
inline constexpr std::size_t kMaxFieldBytes = 64 * 1024;
/// How much of a bad value a message quotes.
inline constexpr qsizetype kExcerptCharacters = 40;

/// The start of a text for a message: at most kExcerptCharacters characters, then "…" when
/// there is more; control characters show as U+FFFD.
QString excerpt(QStringView text);
/// The same for the bytes of a field, decoded as the file's text is.
QString excerpt(std::string_view bytes);

/// Buffered output to a device. A failed write raises zrv::AutomationError 75 with the
/// device's reason; nothing is written after that.
class ByteWriter {
 public:
  explicit ByteWriter(QIODevice& device, std::size_t capacity = std::size_t{1} << 20);
  ~ByteWriter();

  /// The buffer to append to directly; call flushIfFull() now and then.
  std::string& buffer() { return m_buffer; }
  void flushIfFull() {
    if (m_buffer.size() >= m_capacity) flush();
  }
  /// Hands everything buffered to the device.
  void flush();

 private:
  QIODevice& m_device;
  std::string m_buffer;
  std::size_t m_capacity;
};

/// Writes the fields of one line after another, with the commas between them.
class FieldWriter {
 public:
  explicit FieldWriter(ByteWriter& out) : m_out(out) {}

  void text(QStringView value);
  void whole(int64_t value);
  void boolean(bool value);
  void real(double value);
  void date(double days);
  /// A variant as the type it holds.
  void variant(const zrv::Variant& value);
  /// Ends the line with CR LF.
  void endLine();

 private:
  std::string& field();

  ByteWriter& m_out;
  bool m_lineStarted = false;
};

/// The file form of a date-time, #yyyy-mm-dd hh:mm:ss#, rounded to the second.
std::string fileDateText(double days);
/// The day count of a date-time in the file form without its number signs (a date, a time,
/// or both); nothing when the text is not one.
std::optional<double> parseFileDate(std::string_view text);

/// One field as the reader found it.
struct Field {
  enum class Kind { Empty, Quoted, Bare };
  Kind kind = Kind::Empty;
  std::string_view text;  ///< Quoted: between the quotes; Bare: without surrounding blanks
  int line = 0;           ///< where the field starts (1-based)
};

class FieldReader {
 public:
  /// Reads from bytes that must outlive the reader. A UTF-8 byte order mark is skipped.
  explicit FieldReader(std::string_view bytes);

  /// No byte left but blanks and line ends.
  bool atEnd() const;
  /// The next field; raises zrv::AutomationError 62 at the end of the input and 6 (Overflow)
  /// for a field longer than kMaxFieldBytes, having looked at no more of it than that.
  Field next();
  /// The line the next field starts on.
  int line() const { return m_line; }
  /// Bytes not read yet (to estimate counts).
  std::size_t bytesLeft() const { return m_bytes.size() - m_pos; }

  /// What a field reads as when assigned to a variant.
  zrv::Variant toVariant(const Field& field) const;
  /// The field's text (decoded as the file's text is).
  static QString toText(const Field& field);
  /// The field converted to a double with a point or the user's separator; raises 13.
  double toDouble(const Field& field) const;

 private:
  std::string_view m_bytes;
  std::size_t m_pos = 0;
  int m_line = 1;
  std::string m_otherSeparator;
};

}  // namespace zrvlog
