#pragma once
// VariantColumn: a growing list of variants stored by type. While every value has the same
// type, numbers take 8 bytes and texts their UTF-8 bytes; the first value of another type
// turns the column into a plain list of variants. A recorded run only ever stores one type
// per column (dates, or whole milliseconds), a loaded file only texts.

#include <cstddef>
#include <string_view>
#include <vector>

#include "textarena.h"
#include "variant.h"

namespace zrv {

class VariantColumn {
 public:
  void append(const Variant& value);
  /// Appends a text value given as valid UTF-8, without making a QString of it.
  void appendText(std::string_view utf8);
  Variant at(std::size_t index) const;
  std::size_t size() const { return m_size; }
  void clear();
  std::size_t memoryBytes() const;

 private:
  enum class Storage : uint8_t { Unset, Same, Numbers, Texts, Mixed };
  static bool storesAsNumber(VarType type);
  double numberOf(const Variant& value) const;
  Variant fromNumber(double number) const;
  void convertToMixed();

  Storage m_storage = Storage::Unset;
  VarType m_type = VarType::Empty;  // the one type while not Mixed
  std::size_t m_size = 0;
  std::vector<double> m_numbers;
  TextArena m_texts;
  std::vector<Variant> m_mixed;
};

}  // namespace zrv
