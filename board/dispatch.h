#pragma once
// The dispatch interface of ZRVIO ("CorvaneZRV.ZRVIO", interface _ZRVIO): every member
// callable by its dispatch number and the kind of call, with automation values, the way
// late-bound hosts call it. One table holds each member's number, name, kind, parameters,
// type and help text; it drives invoke(), the C ABI's name lookup and zrvctl's help.
//
// Calls
//   A method is called, and a property read, with kMethod, kPropertyGet or both (hosts
//   differ in what they send when they cannot tell the two apart); a property is assigned
//   with kPropertyPut, the new value being the last argument. Arguments come in declaration
//   order (an indexed property's index first).
// Values
//   Arguments convert as automation converts them: to 16- or 32-bit integers rounding ties
//   to even (6 when out of range; text counts as the number it spells, empty as 0), to
//   Boolean from any number (non-zero is True) or "True"/"False". Results are Variants of
//   the member's type: Long (32-bit), Integer (16-bit) or Boolean (-1/0); empty for none.
//   By-reference arguments (a2dconf's) are read and never written.
// Errors (zrv::AutomationError)
//   438 no member has the number, or the member cannot be called that way (assigning a
//   method); 450 too few or too many arguments, or a missing one; 13 (type mismatch) and 6
//   (overflow) from the conversions, naming the argument; 5 for a kind that is none of the
//   above; then whatever the member itself raises (68, 387, 382, 393, 5, serial errors).

#include <QAnyStringView>
#include <QString>
#include <cstdint>
#include <span>

#include "board/export.h"
#include "common/variant.h"

namespace zrv {

class ZRVIO;

namespace dispatch {

/// The programmatic name hosts create the control by.
inline constexpr char kProgId[] = "CorvaneZRV.ZRVIO";

/// Kinds of call, as bit flags (the numbers automation hosts use).
enum Kind : unsigned {
  kMethod = 1,
  kPropertyGet = 2,
  kPropertyPut = 4,
};

/// Value types of parameters and results.
enum class Type : uint8_t {
  None,     ///< no result
  Integer,  ///< 16-bit signed
  Long,     ///< 32-bit signed
  Boolean,  ///< True -1, False 0
};

/// "Integer", "Long", "Boolean" (empty for None).
ZRV_EXPORT QString typeName(Type type);

struct Param {
  const char* name;
  Type type;
  bool byRef = false;  ///< read, never written
};

struct Member {
  enum class Role : uint8_t { Method, Property };

  int32_t dispid;
  const char* name;
  Role role;
  /// Parameters of a method, or the index parameters of a property.
  std::span<const Param> params;
  /// The result of a method (None: none), or the value type of a property.
  Type type;
  /// For properties: whether reading and assigning do something other than fail (led cannot
  /// be read; counter, ready and errflag cannot be assigned). Both kinds are still
  /// dispatched, and fail with the member's own error.
  bool readable;
  bool writable;
  const char* help;
  /// Calls a method or reads a property; args are already converted to the parameter types.
  Variant (*get)(ZRVIO& io, const Variant* args);
  /// Assigns a property; null for methods.
  void (*put)(ZRVIO& io, const Variant* args, const Variant& value);

  bool isMethod() const { return role == Role::Method; }
  /// The kinds of call the member takes: kMethod for a method, kPropertyGet and kPropertyPut
  /// for a property (as far as readable and writable say).
  unsigned kinds() const;
};

/// Every member, in declaration order.
ZRV_EXPORT std::span<const Member> members();
/// The member with a dispatch number, or null.
ZRV_EXPORT const Member* find(int32_t dispid);
/// The member with a name (case-insensitive, as automation names are), or null.
ZRV_EXPORT const Member* find(QAnyStringView name);

/// Calls member `dispid` of io as `kind` with args (see the rules above).
ZRV_EXPORT Variant invoke(ZRVIO& io, int32_t dispid, unsigned kind, std::span<const Variant> args);

/// How a member reads in documentation: "count(pin As Long, duration As Long) As Long",
/// "eeprom(add As Long) As Long", "a2dconf(ByRef justify As Boolean, ...)".
ZRV_EXPORT QString signature(const Member& member);
/// "method", "property get/let", "property let (get fails)", "property get (let fails)".
ZRV_EXPORT QString kindText(const Member& member);
/// The dispatch number as it is written: "60030013".
ZRV_EXPORT QString dispidText(int32_t dispid);

}  // namespace dispatch
}  // namespace zrv
