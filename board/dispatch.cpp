#include "board/dispatch.h"

#include <QStringList>
#include <array>

#include "board/zrvio.h"
#include "common/automationerror.h"

namespace zrv::dispatch {

namespace {

using Role = Member::Role;

constexpr Param kPin[] = {{"pin", Type::Long}};
constexpr Param kPinDuration[] = {{"pin", Type::Long}, {"duration", Type::Long}};
constexpr Param kPinPeriod[] = {{"pin", Type::Long}, {"period", Type::Long}};
constexpr Param kPinState[] = {{"pin", Type::Long}, {"state", Type::Long}};
constexpr Param kPwm[] = {{"pin", Type::Long}, {"duty", Type::Long}, {"fduration", Type::Long}};
constexpr Param kFreq[] = {{"pin", Type::Long}, {"tone", Type::Long}, {"duration", Type::Long}};
constexpr Param kAddress[] = {{"add", Type::Long}};
constexpr Param kSetcounter[] = {{"prescale", Type::Integer}, {"countmode", Type::Boolean}};
constexpr Param kCount[] = {{"ct", Type::Long}};
constexpr Param kA2dconf[] = {{"justify", Type::Boolean, true},
                              {"clkx2", Type::Boolean, true},
                              {"cselect", Type::Integer, true}};
constexpr std::span<const Param> kNone;

// Converted arguments hold exactly their parameter's type.
int32_t l(const Variant* a, int i) {
  return a[i].longValue();
}
int16_t n(const Variant* a, int i) {
  return a[i].integerValue();
}
bool b(const Variant* a, int i) {
  return a[i].boolValue();
}

Variant none() {
  return {};
}

// The members in their order of declaration.
const Member kMembers[] = {
    {0x68030008, "CommPort", Role::Property, kNone, Type::Integer, true, true,
     "Returns/sets the communications port number.",
     [](ZRVIO& io, const Variant*) { return Variant(io.CommPort()); },
     [](ZRVIO& io, const Variant*, const Variant& v) { io.setCommPort(v.integerValue()); }},
    {0x68030007, "tris", Role::Property, kNone, Type::Long, true, true,
     "Set data direction for pins (1=input)",
     [](ZRVIO& io, const Variant*) { return Variant(io.tris()); },
     [](ZRVIO& io, const Variant*, const Variant& v) { io.setTris(v.longValue()); }},
    {0x68030006, "pins", Role::Property, kNone, Type::Long, true, true, "State of all pins",
     [](ZRVIO& io, const Variant*) { return Variant(io.pins()); },
     [](ZRVIO& io, const Variant*, const Variant& v) { io.setPins(v.longValue()); }},
    {0x68030005, "eeprom", Role::Property, kAddress, Type::Long, true, true, "EEPROM storage",
     [](ZRVIO& io, const Variant* a) { return Variant(io.eeprom(l(a, 0))); },
     [](ZRVIO& io, const Variant* a, const Variant& v) { io.setEeprom(l(a, 0), v.longValue()); }},
    {0x60030012, "ok", Role::Method, kNone, Type::Boolean, true, false,
     "Checks status of ZRV board", [](ZRVIO& io, const Variant*) { return Variant(io.ok()); },
     nullptr},
    {0x68030004, "led", Role::Property, kNone, Type::Boolean, false, true, "Sets LED state\r\n",
     [](ZRVIO& io, const Variant*) { return Variant(io.led()); },
     [](ZRVIO& io, const Variant*, const Variant& v) { io.setLed(v.boolValue()); }},
    {0x60030013, "a2d", Role::Method, kPin, Type::Long, true, false, "Read a analog input",
     [](ZRVIO& io, const Variant* a) { return Variant(io.a2d(l(a, 0))); }, nullptr},
    {0x60030014, "toggle", Role::Method, kPin, Type::None, true, false, "Switch state of pin",
     [](ZRVIO& io, const Variant* a) { return io.toggle(l(a, 0)), none(); }, nullptr},
    {0x60030015, "high", Role::Method, kPin, Type::None, true, false, "Set pin to high",
     [](ZRVIO& io, const Variant* a) { return io.high(l(a, 0)), none(); }, nullptr},
    {0x60030016, "low", Role::Method, kPin, Type::None, true, false, "Set pin to low",
     [](ZRVIO& io, const Variant* a) { return io.low(l(a, 0)), none(); }, nullptr},
    {0x60030017, "inp", Role::Method, kPin, Type::Long, true, false, "Read input",
     [](ZRVIO& io, const Variant* a) { return Variant(io.inp(l(a, 0))); }, nullptr},
    {0x60030018, "count", Role::Method, kPinDuration, Type::Long, true, false,
     "Count the number of transitions on a pin",
     [](ZRVIO& io, const Variant* a) { return Variant(io.count(l(a, 0), l(a, 1))); }, nullptr},
    {0x60030019, "pulseout", Role::Method, kPinPeriod, Type::None, true, false, "Generate a pulse",
     [](ZRVIO& io, const Variant* a) { return io.pulseout(l(a, 0), l(a, 1)), none(); }, nullptr},
    {0x6003001A, "pulsein", Role::Method, kPinState, Type::Long, true, false, "Pulse input",
     [](ZRVIO& io, const Variant* a) { return Variant(io.pulsein(l(a, 0), l(a, 1))); }, nullptr},
    {0x6003001B, "pwm", Role::Method, kPwm, Type::None, true, false, "Pulse width modulator",
     [](ZRVIO& io, const Variant* a) { return io.pwm(l(a, 0), l(a, 1), l(a, 2)), none(); },
     nullptr},
    {0x6003001C, "freq", Role::Method, kFreq, Type::None, true, false, "Outputs a frequency",
     [](ZRVIO& io, const Variant* a) { return io.freq(l(a, 0), l(a, 1), l(a, 2)), none(); },
     nullptr},
    {0x6003001D, "rctime", Role::Method, kPinState, Type::Long, true, false,
     "Measure RC time constant",
     [](ZRVIO& io, const Variant* a) { return Variant(io.rctime(l(a, 0), l(a, 1))); }, nullptr},
    {0x68030003, "portopen", Role::Property, kNone, Type::Boolean, true, true,
     "Set to true to connect to device",
     [](ZRVIO& io, const Variant*) { return Variant(io.portopen()); },
     [](ZRVIO& io, const Variant*, const Variant& v) { io.setPortopen(v.boolValue()); }},
    {0x68030002, "counter", Role::Property, kNone, Type::Long, true, false,
     "Counter or timer output", [](ZRVIO& io, const Variant*) { return Variant(io.counter()); },
     [](ZRVIO& io, const Variant*, const Variant& v) { io.setCounter(v.longValue()); }},
    {0x60030022, "setcounter", Role::Method, kSetcounter, Type::None, true, false,
     "Set counter or timer prescaler and mode",
     [](ZRVIO& io, const Variant* a) { return io.setcounter(n(a, 0), b(a, 1)), none(); }, nullptr},
    {0x68030001, "ready", Role::Property, kNone, Type::Boolean, true, false,
     "Is ZRV ready for commands?", [](ZRVIO& io, const Variant*) { return Variant(io.ready()); },
     [](ZRVIO& io, const Variant*, const Variant& v) { io.setReady(v.boolValue()); }},
    {0x68030000, "errflag", Role::Property, kNone, Type::Boolean, true, false, "Error flag",
     [](ZRVIO& io, const Variant*) { return Variant(io.errflag()); },
     [](ZRVIO& io, const Variant*, const Variant& v) { io.setErrflag(v.boolValue()); }},
    {0x60030023, "resetall", Role::Method, kNone, Type::None, true, false, "Full reset",
     [](ZRVIO& io, const Variant*) { return io.resetall(), none(); }, nullptr},
    {0x60030024, "repeat", Role::Method, kCount, Type::None, true, false,
     "Set the repeat count for repeatable operations",
     [](ZRVIO& io, const Variant* a) { return io.repeat(l(a, 0)), none(); }, nullptr},
    {0x60030025, "readbyte", Role::Method, kNone, Type::Long, true, false,
     "Read a byte from a repeat operation",
     [](ZRVIO& io, const Variant*) { return Variant(io.readbyte()); }, nullptr},
    {0x60030026, "readword", Role::Method, kNone, Type::Long, true, false,
     "Read a word from a repeat operation",
     [](ZRVIO& io, const Variant*) { return Variant(io.readword()); }, nullptr},
    {0x60030034, "a2dconf", Role::Method, kA2dconf, Type::None, true, false,
     "Set the A/D configuration options",
     [](ZRVIO& io, const Variant* a) { return io.a2dconf(b(a, 0), b(a, 1), n(a, 2)), none(); },
     nullptr},
};

// The longest parameter list plus the value of an assignment.
constexpr size_t kMaxArguments = 4;

QString argumentCount(size_t count) {
  return count == 1 ? QStringLiteral("1 argument") : QStringLiteral("%1 arguments").arg(count);
}

// An argument in its parameter's type; errors name the member and the argument.
Variant convert(const Variant& value, Type type, const Member& member, const QString& what) {
  if (value.isMissing())
    throw AutomationError(err::kWrongArgumentCount,
                          QStringLiteral("%1: %2 is missing").arg(member.name, what));
  try {
    switch (type) {
      case Type::Integer:
        return Variant(value.toInteger());
      case Type::Long:
        return Variant(value.toLong());
      case Type::Boolean:
        return Variant(value.toBool());
      case Type::None:
        break;
    }
  } catch (const AutomationError& e) {
    throw AutomationError(e.number(), QStringLiteral("%1: %2 (%3) cannot be %4")
                                          .arg(QLatin1String(member.name), what,
                                               describeBriefly(value), typeName(type)));
  }
  return value;
}

}  // namespace

unsigned Member::kinds() const {
  if (isMethod()) return kMethod;
  return (readable ? kPropertyGet : 0u) | (writable ? kPropertyPut : 0u);
}

QString typeName(Type type) {
  switch (type) {
    case Type::Integer:
      return QStringLiteral("Integer");
    case Type::Long:
      return QStringLiteral("Long");
    case Type::Boolean:
      return QStringLiteral("Boolean");
    case Type::None:
      break;
  }
  return {};
}

std::span<const Member> members() {
  return kMembers;
}

const Member* find(int32_t dispid) {
  for (const Member& m : kMembers)
    if (m.dispid == dispid) return &m;
  return nullptr;
}

const Member* find(QAnyStringView name) {
  for (const Member& m : kMembers)
    if (QAnyStringView::compare(name, QLatin1String(m.name), Qt::CaseInsensitive) == 0) return &m;
  return nullptr;
}

QString dispidText(int32_t dispid) {
  return QStringLiteral("%1").arg(static_cast<uint32_t>(dispid), 8, 16, QLatin1Char('0')).toUpper();
}

Variant invoke(ZRVIO& io, int32_t dispid, unsigned kind, std::span<const Variant> args) {
  const Member* member = find(dispid);
  if (!member)
    throw AutomationError(
        err::kMemberNotFound,
        QStringLiteral("no member has the dispatch number %1").arg(dispidText(dispid)));
  const bool put = kind == kPropertyPut;
  if (!put && (kind == 0 || (kind & ~(kMethod | kPropertyGet)) != 0))
    throw AutomationError(err::kInvalidArgument,
                          QStringLiteral("%1 is not a kind of call (1 method, 2 property get, 3 "
                                         "either, 4 property put)")
                              .arg(kind));
  if (put && member->isMethod())
    throw AutomationError(
        err::kMemberNotFound,
        QStringLiteral("%1 is a method; it cannot be assigned").arg(member->name));
  const size_t expected = member->params.size() + (put ? 1 : 0);
  if (args.size() != expected)
    throw AutomationError(
        err::kWrongArgumentCount,
        QStringLiteral("%1 %2 %3, not %4")
            .arg(QLatin1String(member->name),
                 put ? QStringLiteral("takes, when assigned,") : QStringLiteral("takes"),
                 argumentCount(expected))
            .arg(args.size()));
  std::array<Variant, kMaxArguments> converted;
  for (size_t i = 0; i < member->params.size(); ++i) {
    const Param& p = member->params[i];
    converted[i] = convert(args[i], p.type, *member,
                           QStringLiteral("argument %1 (%2)").arg(i + 1).arg(p.name));
  }
  if (put) {
    const Variant value =
        convert(args.back(), member->type, *member, QStringLiteral("the value assigned"));
    member->put(io, converted.data(), value);
    return {};
  }
  return member->get(io, converted.data());
}

QString signature(const Member& member) {
  QString text = QLatin1String(member.name);
  if (!member.params.empty()) {
    QStringList params;
    for (const Param& p : member.params)
      params.append(QStringLiteral("%1%2 As %3")
                        .arg(p.byRef ? QStringLiteral("ByRef ") : QString(), QLatin1String(p.name),
                             typeName(p.type)));
    text += u'(' + params.join(QStringLiteral(", ")) + u')';
  }
  if (member.type != Type::None) text += QStringLiteral(" As ") + typeName(member.type);
  return text;
}

QString kindText(const Member& member) {
  if (member.isMethod()) return QStringLiteral("method");
  if (!member.readable) return QStringLiteral("property let (get fails)");
  if (!member.writable) return QStringLiteral("property get (let fails)");
  return QStringLiteral("property get/let");
}

}  // namespace zrv::dispatch
