#include "keyedcollection.h"

#include "automationerror.h"

namespace zrv {

namespace {

bool isAscii(QStringView text) {
  for (QChar c : text)
    if (c.unicode() >= 0x80) return false;
  return true;
}

bool isAscii(std::string_view bytes) {
  for (char c : bytes)
    if (static_cast<unsigned char>(c) >= 0x80) return false;
  return true;
}

char16_t asciiLower(char16_t c) {
  return (c >= u'A' && c <= u'Z') ? c + (u'a' - u'A') : c;
}

// FNV-1a over case-folded UTF-16 units, so that every spelling that compares equal without
// regard to case hashes alike; a final mix spreads the bits for the power-of-two table.
struct KeyHash {
  uint64_t h = 0xcbf29ce484222325ull;
  void add(char16_t unit) {
    h = (h ^ (unit & 0xFF)) * 0x100000001b3ull;
    h = (h ^ (unit >> 8)) * 0x100000001b3ull;
  }
  uint64_t done() const {
    uint64_t z = h + 0x9e3779b97f4a7c15ull;
    z = (z ^ (z >> 30)) * 0xbf58476d1ce4e5b9ull;
    z = (z ^ (z >> 27)) * 0x94d049bb133111ebull;
    return z ^ (z >> 31);
  }
};

uint64_t hashKey(QStringView key) {
  KeyHash hash;
  if (isAscii(key)) {
    for (QChar c : key)
      hash.add(asciiLower(c.unicode()));
  } else {
    for (QChar c : key.toString().toCaseFolded())
      hash.add(c.unicode());
  }
  return hash.done();
}

uint64_t hashStored(std::string_view bytes) {
  if (!isAscii(bytes)) return hashKey(QString::fromUtf8(bytes));
  KeyHash hash;
  for (char c : bytes)
    hash.add(asciiLower(static_cast<unsigned char>(c)));
  return hash.done();
}

bool sameKey(std::string_view stored, QStringView key) {
  if (isAscii(key) && isAscii(stored)) {
    if (static_cast<qsizetype>(stored.size()) != key.size()) return false;
    for (std::size_t i = 0; i < stored.size(); ++i)
      if (asciiLower(static_cast<unsigned char>(stored[i])) != asciiLower(key[i].unicode()))
        return false;
    return true;
  }
  return QString::fromUtf8(stored).compare(key, Qt::CaseInsensitive) == 0;
}

constexpr std::size_t kInitialSlots = 16;

}  // namespace

std::size_t KeyedCollection::findSlot(QStringView key, uint64_t hash) const {
  const std::size_t mask = m_slots.size() - 1;
  for (std::size_t i = hash & mask;; i = (i + 1) & mask) {
    const uint32_t entry = m_slots[i];
    if (entry == 0) return i;
    if (m_fingerprints[i] == fingerprint(hash) && sameKey(m_keys.bytesAt(entry - 1), key)) return i;
  }
}

void KeyedCollection::reserve(std::size_t entries) {
  if (entries <= count()) return;
  m_keys.reserve(entries - count(), (entries - count()) * 10);
  if (m_indexed < count()) return;  // the index is built at its full size when needed
  std::size_t tableSize = m_slots.empty() ? kInitialSlots : m_slots.size();
  while (entries * 10 > tableSize * 7)
    tableSize *= 2;
  if (tableSize > m_slots.size()) grow(tableSize);
}

void KeyedCollection::catchUp() const {
  if (m_indexed == m_keys.size()) return;
  std::size_t tableSize = m_slots.empty() ? kInitialSlots : m_slots.size();
  while ((m_keys.size() + 1) * 10 > tableSize * 7)
    tableSize *= 2;
  grow(tableSize);
}

void KeyedCollection::appendNewText(std::string_view utf8, QStringView key) {
  if (m_keys.size() >= UINT32_MAX - 1)
    throw AutomationError(err::kOutOfMemory, QStringLiteral("too many entries in one collection"));
  m_keys.append(key);
  m_values.appendText(utf8);
}

void KeyedCollection::grow(std::size_t tableSize) const {
  std::vector<uint32_t> table(tableSize         ? tableSize
                              : m_slots.empty() ? kInitialSlots
                                                : m_slots.size() * 2,
                              0);
  std::vector<uint8_t> fingerprints(table.size(), 0);
  const std::size_t mask = table.size() - 1;
  for (std::size_t pos = 0; pos < m_keys.size(); ++pos) {
    const uint64_t hash = hashStored(m_keys.bytesAt(pos));
    std::size_t i = hash & mask;
    while (table[i] != 0)
      i = (i + 1) & mask;
    table[i] = static_cast<uint32_t>(pos + 1);
    fingerprints[i] = fingerprint(hash);
  }
  m_slots = std::move(table);
  m_fingerprints = std::move(fingerprints);
  m_indexed = m_keys.size();
}

void KeyedCollection::add(const Variant& value, QStringView key) {
  const std::size_t slot = claimSlot(key);
  m_keys.append(key);
  m_values.append(value);
  m_slots[slot] = static_cast<uint32_t>(m_keys.size());
  m_indexed = m_keys.size();
}

void KeyedCollection::addText(std::string_view utf8, QStringView key) {
  const std::size_t slot = claimSlot(key);
  m_keys.append(key);
  m_values.appendText(utf8);
  m_slots[slot] = static_cast<uint32_t>(m_keys.size());
  m_indexed = m_keys.size();
}

std::size_t KeyedCollection::claimSlot(QStringView key) {
  if (m_keys.size() >= UINT32_MAX - 1)
    throw AutomationError(err::kOutOfMemory, QStringLiteral("too many entries in one collection"));
  catchUp();
  // Keep the table at most 70% full so that probe runs stay short.
  if ((m_keys.size() + 1) * 10 > m_slots.size() * 7) grow();
  const uint64_t hash = hashKey(key);
  const std::size_t slot = findSlot(key, hash);
  if (m_slots[slot] != 0)
    throw AutomationError(err::kDuplicateKey, QStringLiteral("key \"%1\"").arg(key));
  m_fingerprints[slot] = fingerprint(hash);
  return slot;
}

std::optional<std::size_t> KeyedCollection::positionOf(QStringView key) const {
  catchUp();
  if (m_slots.empty()) return std::nullopt;
  const uint32_t entry = m_slots[findSlot(key, hashKey(key))];
  if (entry == 0) return std::nullopt;
  return entry;
}

Variant KeyedCollection::item(QStringView key) const {
  const auto position = positionOf(key);
  if (!position)
    throw AutomationError(err::kInvalidArgument,
                          QStringLiteral("no item with the key \"%1\"").arg(key));
  return m_values.at(*position - 1);
}

void KeyedCollection::checkPosition(std::size_t position) const {
  if (position < 1 || position > count())
    throw AutomationError(err::kSubscriptOutOfRange,
                          QStringLiteral("position %1 of %2 items").arg(position).arg(count()));
}

Variant KeyedCollection::item(std::size_t position) const {
  checkPosition(position);
  return m_values.at(position - 1);
}

QString KeyedCollection::key(std::size_t position) const {
  checkPosition(position);
  return m_keys.at(position - 1);
}

void KeyedCollection::clear() {
  *this = KeyedCollection();
}

std::size_t KeyedCollection::memoryBytes() const {
  return m_keys.memoryBytes() + m_values.memoryBytes() + m_slots.capacity() * sizeof(uint32_t) +
         m_fingerprints.capacity();
}

}  // namespace zrv
