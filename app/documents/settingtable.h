#pragma once
// Every setting a user types in a box, declared once. A row says what the setting is called,
// how it is held, which values it takes, its default, unit, label, the data-file line it is
// kept on, the command-line option that sets it and the key of the user's defaults; the
// options dialog, the data file, the headless recorder and its --help, and the user's
// defaults all read these rows, and checkSetting() is the one judge of a typed value, so the
// dialog, the command line and the stored defaults accept the same values.
//
// Adding a setting: a member in AcquisitionSettings (runsettings.h), an id below and a row
// in settingtable.cpp. The dialog shows the field where its page lays it out.
//
// Two settings that bound a range (the graph's minimum and maximum X) are also a pair of
// settingPairs(): a range is taken only when its maximum is above its minimum.

#include <QString>
#include <QStringView>
#include <cstdint>
#include <optional>
#include <span>

#include "common/variant.h"

namespace zrvlog {

class Document;

/// The settings of the table, in the order the help lists them.
enum class SettingId : uint8_t {
  StopTime,
  TimerFrequency,
  Tolerance,
  Interval,
  Average,
  Channels,
  Reconnect,
  Reference,
  // The graph page: the ranges a document keeps, and the grid's divisions, which are the
  // graph's own (the file keeps them on line 8 with the graph's other members).
  MinX,
  MaxX,
  MinY,
  MaxY,
  XSteps,
  YSteps,
};

/// How a setting is held, and so how the data file writes it.
enum class SettingType : uint8_t {
  Text,   ///< the text as typed, read as a number where one is needed
  Int16,  ///< a whole number, typed in the unit times `scale`, rounded ties to even
  Int32,
  Choice,  ///< one of `choices`, held as its code
};

/// An item of a choice: the dialog's text, the command line's word and the code held.
struct SettingChoice {
  const char* text;
  const char* word;
  int16_t code;
};

struct SettingDescriptor {
  SettingId id;
  /// The name the program gives it in messages (a data-file field, a test).
  const char* name;
  SettingType type;
  /// Numbers: the lowest and highest value typed; lowest is excluded when `aboveLowest`.
  double lowest;
  double highest;
  bool aboveLowest;
  /// Whether an empty text is a value (the stop time: run until stopped).
  bool emptyAllowed;
  /// What a typed value is multiplied by before it is held (seconds typed, ms held).
  double scale;
  /// The value held by default, as typed.
  const char* defaultText;
  /// The dialog's box (its object name), the label before it and the unit after it.
  const char* field;
  const char* label;
  const char* unit;
  /// What the field takes, for messages: "a whole number from 1 to 5".
  const char* takes;
  /// The fixed message for a number above `highest`, when there is one.
  const char* tooHighMessage;
  /// The data file's line that keeps it (0: not kept there).
  int fileLine;
  /// The headless recorder's option (nullptr: none), its value's name and help.
  const char* option;
  const char* valueName;
  const char* help;
  std::span<const SettingChoice> choices;
  /// The key of the user's defaults that keeps the value as held (nullptr: not kept).
  const char* storedKey;
};

/// Every setting, in SettingId order.
std::span<const SettingDescriptor> settingTable();
const SettingDescriptor& setting(SettingId id);
/// The (first) setting kept on a line of the data file, if any.
const SettingDescriptor* settingOnFileLine(int line);

/// Two settings that bound a range, and what the user is told when the maximum is not
/// above the minimum.
struct SettingPair {
  SettingId minimum;
  SettingId maximum;
  const char* message;
};
/// Every pair, in the order they are judged.
std::span<const SettingPair> settingPairs();
/// Whether the maximum is above the minimum, for values as held (text is read as the
/// number it is; a value that is no number bounds nothing).
bool pairHolds(const zrv::Variant& minimum, const zrv::Variant& maximum);

/// Why a typed value was refused.
enum class SettingProblem : uint8_t {
  None,
  Empty,         ///< nothing typed where a value is needed
  NotANumber,    ///< the whole text is not a number (or, for a choice, not an item)
  OutOfRange,    ///< below the lowest or, after rounding, outside what it can hold
  TooHigh,       ///< above the highest
  RoundsToZero,  ///< a positive number that rounds to 0 in the held unit (0.0001 s)
};

struct SettingCheck {
  SettingProblem problem = SettingProblem::None;
  zrv::Variant value;  ///< what the setting then holds
  bool ok() const { return problem == SettingProblem::None; }
};

/// The one judge of a typed value: accepted with the value the setting holds, or why not.
SettingCheck checkSetting(const SettingDescriptor& d, QStringView text);

/// The value a document holds now. A document holds what its file keeps and the interval;
/// the timer's frequency and the reconnect wait belong to a run's engine (see engine.h),
/// and a document gives nothing for them.
zrv::Variant settingValue(const Document& document, const SettingDescriptor& d);
/// Gives the setting a value as held (a checked value, or a field of a data file, which is
/// converted as the setting's type needs and raises the conversion's error when it cannot).
void setSetting(Document& document, const SettingDescriptor& d, const zrv::Variant& value);
/// A value as held, written as the user types it (seconds for the interval).
QString settingText(const SettingDescriptor& d, const zrv::Variant& value);
/// A value of the user's defaults (the held value as text) as the setting holds it, judged
/// as a typed one; nothing when it is refused.
std::optional<zrv::Variant> storedSetting(const SettingDescriptor& d, const QString& text);
/// The default as held.
zrv::Variant settingDefault(const SettingDescriptor& d);
/// Whether the setting can change only between runs (the interval: a data file holds one).
bool changesBetweenRunsOnly(const SettingDescriptor& d);

}  // namespace zrvlog
