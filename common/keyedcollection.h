#pragma once
// KeyedCollection: an insertion-ordered list of variants, each under a unique text key that
// compares without regard to case. Items are found by key or by 1-based position.
//
// Built for a million entries and more: keys live in one text block, values in a typed
// column, and the key index is an open-addressing table of 32-bit positions. Adding and
// finding are O(1) on average; an entry costs about 30 bytes with keys like "T1234.5".

#include <QString>
#include <QStringView>
#include <cstdint>
#include <optional>
#include <string_view>
#include <vector>

#include "textarena.h"
#include "variant.h"
#include "variantcolumn.h"

namespace zrv {

class KeyedCollection {
 public:
  /// Adds value under key; raises 457 when the key is present (nothing is added then).
  void add(const Variant& value, QStringView key);
  /// Adds a text value given as valid UTF-8 (what files hold), as add(Variant(text), key).
  void addText(std::string_view utf8, QStringView key);
  /// Appends a text value (valid UTF-8) under a key that the caller knows is not present,
  /// such as the increasing sample keys of a file being loaded. Nothing is checked; the key
  /// index takes such entries in at once when a lookup or a checked add next needs it.
  void appendNewText(std::string_view utf8, QStringView key);
  /// The value under key; raises 5 when there is none.
  Variant item(QStringView key) const;
  /// The value at a 1-based position; raises 9 outside 1..count().
  Variant item(std::size_t position) const;
  /// The key at a 1-based position, as it was given; raises 9 outside 1..count().
  QString key(std::size_t position) const;
  /// The 1-based position of key, if present.
  std::optional<std::size_t> positionOf(QStringView key) const;
  bool contains(QStringView key) const { return positionOf(key).has_value(); }
  std::size_t count() const { return m_keys.size(); }
  /// Makes room for this many entries in all, so that filling them never rebuilds the index.
  void reserve(std::size_t entries);
  void clear();
  std::size_t memoryBytes() const;

 private:
  void checkPosition(std::size_t position) const;
  // Rebuilds the index over every entry with a table of this size (0: twice the present).
  void grow(std::size_t tableSize = 0) const;
  // Takes entries added by appendNewText into the index.
  void catchUp() const;
  // The free slot for a new key (its fingerprint already set); raises 457 and 7.
  std::size_t claimSlot(QStringView key);
  std::size_t findSlot(QStringView key, uint64_t hash) const;
  static uint8_t fingerprint(uint64_t hash) { return static_cast<uint8_t>(hash >> 56); }

  TextArena m_keys;
  VariantColumn m_values;
  // The key index, built as entries come or, after appendNewText, when first needed.
  mutable std::vector<uint32_t> m_slots;  // 0 = free, else 0-based position + 1
  // Eight more bits of each slot's hash: a probe compares the stored key (far away in
  // m_keys, a cache miss at a million entries) only when they match.
  mutable std::vector<uint8_t> m_fingerprints;
  mutable std::size_t m_indexed = 0;  // entries in the index: the first m_indexed
};

}  // namespace zrv
