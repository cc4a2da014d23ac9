#include "variantcolumn.h"

namespace zrv {

bool VariantColumn::storesAsNumber(VarType type) {
  switch (type) {
    case VarType::Integer:
    case VarType::Long:
    case VarType::Double:
    case VarType::Date:
    case VarType::Boolean:
      return true;
    default:
      return false;
  }
}

// Every numeric type round-trips exactly through a double: 16- and 32-bit integers are
// exact, booleans are -1 and 0.
double VariantColumn::numberOf(const Variant& value) const {
  switch (value.type()) {
    case VarType::Integer:
      return value.integerValue();
    case VarType::Long:
      return value.longValue();
    case VarType::Double:
      return value.doubleValue();
    case VarType::Date:
      return value.dateValue();
    case VarType::Boolean:
      return value.boolValue() ? -1.0 : 0.0;
    default:
      return 0.0;
  }
}

Variant VariantColumn::fromNumber(double number) const {
  switch (m_type) {
    case VarType::Integer:
      return Variant(static_cast<int16_t>(number));
    case VarType::Long:
      return Variant(static_cast<int32_t>(number));
    case VarType::Date:
      return Variant::date(number);
    case VarType::Boolean:
      return Variant(number != 0.0);
    default:
      return Variant(number);
  }
}

void VariantColumn::append(const Variant& value) {
  if (m_storage == Storage::Unset) {
    m_type = value.type();
    m_storage = storesAsNumber(m_type)      ? Storage::Numbers
                : m_type == VarType::String ? Storage::Texts
                                            : Storage::Same;
  } else if (m_storage != Storage::Mixed && value.type() != m_type) {
    convertToMixed();
  }
  switch (m_storage) {
    case Storage::Numbers:
      m_numbers.push_back(numberOf(value));
      break;
    case Storage::Texts:
      m_texts.append(value.textValue());
      break;
    case Storage::Mixed:
      m_mixed.push_back(value);
      break;
    case Storage::Same:
    case Storage::Unset:
      break;  // empty or missing: nothing to keep but the count
  }
  ++m_size;
}

void VariantColumn::appendText(std::string_view utf8) {
  if (m_storage == Storage::Unset) {
    m_type = VarType::String;
    m_storage = Storage::Texts;
  }
  if (m_storage != Storage::Texts) {
    append(Variant(QString::fromUtf8(utf8.data(), qsizetype(utf8.size()))));
    return;
  }
  m_texts.appendUtf8(utf8);
  ++m_size;
}

Variant VariantColumn::at(std::size_t index) const {
  switch (m_storage) {
    case Storage::Numbers:
      return fromNumber(m_numbers[index]);
    case Storage::Texts:
      return Variant(m_texts.at(index));
    case Storage::Mixed:
      return m_mixed[index];
    case Storage::Same:
      return m_type == VarType::Missing ? Variant::missing() : Variant();
    case Storage::Unset:
      break;
  }
  return {};
}

void VariantColumn::convertToMixed() {
  std::vector<Variant> all;
  all.reserve(m_size + 1);
  for (std::size_t i = 0; i < m_size; ++i)
    all.push_back(at(i));
  std::vector<double>().swap(m_numbers);
  m_texts.clear();
  m_mixed = std::move(all);
  m_storage = Storage::Mixed;
}

void VariantColumn::clear() {
  *this = VariantColumn();
}

std::size_t VariantColumn::memoryBytes() const {
  return m_numbers.capacity() * sizeof(double) + m_texts.memoryBytes() +
         m_mixed.capacity() * sizeof(Variant);
}

}  // namespace zrv
