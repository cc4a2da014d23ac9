#pragma once
// The graph component's members by dispatch number: the one table of numbers, names, types,
// defaults and roles. Property get/set and validation (GraphModel), the data file, the
// dispatch of methods and the property dialog are all driven from it.
//
// Colours are 32-bit 00BBGGRR. Fonts are held by face name, as text. Per-element,
// per-annotation and per-cursor members act on the current one (ElementIndex,
// AnnotationIndex, CursorIndex).

#include <QString>
#include <cstdint>
#include <span>

#include "common/variant.h"

namespace zrvlog {

/// The kind of value a member holds, which fixes what an assignment is converted to.
enum class MemberType : uint8_t { Integer, Long, Boolean, Double, Text, Font, Method };
/// Where a member's value lives: the graph, or the current element, annotation or cursor.
enum class MemberScope : uint8_t { Graph, Element, Annotation, Cursor };
/// How the property dialog edits a member (and whether it edits it at all).
enum class MemberEditor : uint8_t { None, Colour, Number, Choice, Check, Line, Font, Real };

// X(number, Name, type, scope, editor, default, "label", "choices")
// Choices list the meanings of values 0, 1, 2, ... separated by '|'.
// Editor None: selection indices, counts and methods, which the dialog does not show.
#define ZRVLOG_GRAPH_MEMBERS(X)                                                                 \
  X(-518, Caption, Text, Graph, Line, QString(), "Caption", "")                                 \
  X(1, AxisColor, Long, Graph, Colour, int32_t(0xC0C0C0), "Axis colour", "")                    \
  X(2, GridColor, Long, Graph, Colour, int32_t(0x404040), "Grid colour", "")                    \
  X(3, LabelColor, Long, Graph, Colour, int32_t(0xE0E0E0), "Label colour", "")                  \
  X(21, FrameColor, Long, Graph, Colour, int32_t(0x282828), "Frame colour", "")                 \
  X(22, PlotAreaColor, Long, Graph, Colour, int32_t(0x000000), "Plot area colour", "")          \
  X(23, FrameStyle, Long, Graph, Choice, int32_t(1), "Frame style", "None|Flat|Sunken")         \
  X(7, GridShown, Boolean, Graph, Check, true, "Show grid", "")                                 \
  X(19, LogX, Boolean, Graph, Check, false, "Logarithmic X axis", "")                           \
  X(20, LogY, Boolean, Graph, Check, false, "Logarithmic Y axis", "")                           \
  X(42, TimeLabelsX, Boolean, Graph, Check, false, "X labels as time (h:mm:ss)", "")            \
  X(41, TimeLabelsY, Boolean, Graph, Check, false, "Y labels as time (h:mm:ss)", "")            \
  X(8, AxisTitleX, Text, Graph, Line, QString(), "X axis title", "")                            \
  X(9, AxisTitleY, Text, Graph, Line, QString(), "Y axis title", "")                            \
  X(5, GridCountX, Integer, Graph, Number, int16_t(10), "X grid divisions", "")                 \
  X(6, GridCountY, Integer, Graph, Number, int16_t(5), "Y grid divisions", "")                  \
  X(39, LabelFormatX, Text, Graph, Line, QStringLiteral("%g"), "X label format", "")            \
  X(40, LabelFormatY, Text, Graph, Line, QStringLiteral("%g"), "Y label format", "")            \
  X(18, LegendOn, Boolean, Graph, Check, true, "Show legend", "")                               \
  X(43, TickFont, Font, Graph, Font, QStringLiteral("Sans Serif"), "Tick label font", "")       \
  X(44, TitleFont, Font, Graph, Font, QStringLiteral("Sans Serif"), "Caption font", "")         \
  X(45, LegendFont, Font, Graph, Font, QStringLiteral("Sans Serif"), "Legend font", "")         \
  X(46, AxisTitleFont, Font, Graph, Font, QStringLiteral("Sans Serif"), "Axis title font", "")  \
  X(47, CursorMode, Long, Graph, Choice, int32_t(0), "Cursor mode", "Normal|Track|Zoom|Pan")    \
  X(53, RangeXMin, Double, Graph, Real, 0.0, "X minimum", "")                                   \
  X(54, RangeXMax, Double, Graph, Real, 10.0, "X maximum", "")                                  \
  X(55, RangeYMin, Double, Graph, Real, 0.0, "Y minimum", "")                                   \
  X(56, RangeYMax, Double, Graph, Real, 10.0, "Y maximum", "")                                  \
  X(31, ElementIndex, Integer, Graph, None, int16_t(0), "Current element", "")                  \
  X(29, AnnotationIndex, Integer, Graph, None, int16_t(-1), "Current annotation", "")           \
  X(33, CursorIndex, Integer, Graph, None, int16_t(-1), "Current cursor", "")                   \
  X(50, AnnotationTotal, Integer, Graph, None, int16_t(0), "Annotations", "")                   \
  X(51, ElementTotal, Integer, Graph, None, int16_t(1), "Elements", "")                         \
  X(52, CursorTotal, Integer, Graph, None, int16_t(0), "Cursors", "")                           \
  X(17, ElementLabel, Text, Element, Line, QString(), "Name", "")                               \
  X(10, ElementColor, Long, Element, Colour, int32_t(0x00FF00), "Line colour", "")              \
  X(11, ElementPointColor, Long, Element, Colour, int32_t(0x00FF00), "Point colour", "")        \
  X(12, ElementLineStyle, Long, Element, Choice, int32_t(0), "Line style",                      \
    "Solid|Dashed|Dotted|Dash-dot|Dash-dot-dot|None")                                           \
  X(13, ElementLineWidth, Long, Element, Number, int32_t(1), "Line width", "")                  \
  X(14, ElementPointSymbol, Long, Element, Choice, int32_t(0), "Point symbol",                  \
    "None|Dot|Circle|Square|Diamond|Triangle|Cross|Plus|Star")                                  \
  X(15, ElementSolidPoints, Boolean, Element, Check, false, "Filled points", "")                \
  X(16, ElementShow, Boolean, Element, Check, true, "Shown", "")                                \
  X(24, AnnoLabelText, Text, Annotation, Line, QString(), "Text", "")                           \
  X(25, AnnoLabelX, Double, Annotation, Real, 0.0, "X position", "")                            \
  X(26, AnnoLabelY, Double, Annotation, Real, 0.0, "Y position", "")                            \
  X(27, AnnoLabelColor, Long, Annotation, Colour, int32_t(0xFFFFFF), "Text colour", "")         \
  X(32, AnnoLabelBkColor, Long, Annotation, Colour, int32_t(0x404040), "Background colour", "") \
  X(28, AnnoLabelHorizontal, Boolean, Annotation, Check, true, "Horizontal", "")                \
  X(30, AnnoVisible, Boolean, Annotation, Check, true, "Shown", "")                             \
  X(4, CursorColor, Long, Cursor, Colour, int32_t(0xFFFF00), "Colour", "")                      \
  X(34, CursorPosX, Double, Cursor, Real, 0.0, "X position", "")                                \
  X(35, CursorPosY, Double, Cursor, Real, 0.0, "Y position", "")                                \
  X(36, CursorStyle, Integer, Cursor, Choice, int16_t(0), "Style",                              \
    "Crosshair|Vertical line|Horizontal line")                                                  \
  X(37, CursorVisible, Boolean, Cursor, Check, true, "Shown", "")                               \
  X(38, CursorSnap, Integer, Cursor, Choice, int16_t(0), "Snap", "Free|To the current element") \
  X(57, FitRange, Method, Graph, None, Variant(), "FitRange", "")                               \
  X(58, CopyGraph, Method, Graph, None, Variant(), "CopyGraph", "")                             \
  X(59, PrintPlot, Method, Graph, None, Variant(), "PrintPlot", "")                             \
  X(60, NewElement, Method, Graph, None, Variant(), "NewElement", "")                           \
  X(62, ResetElements, Method, Graph, None, Variant(), "ResetElements", "")                     \
  X(63, AddPoint, Method, Graph, None, Variant(), "AddPoint", "")                               \
  X(65, PropertyDialog, Method, Graph, None, Variant(), "PropertyDialog", "")                   \
  X(66, SaveBitmap, Method, Graph, None, Variant(), "SaveBitmap", "")                           \
  X(67, NewAnnotation, Method, Graph, None, Variant(), "NewAnnotation", "")                     \
  X(68, DropAnnotation, Method, Graph, None, Variant(), "DropAnnotation", "")                   \
  X(69, NewCursor, Method, Graph, None, Variant(), "NewCursor", "")                             \
  X(70, DropCursor, Method, Graph, None, Variant(), "DropCursor", "")                           \
  X(72, PointY, Method, Graph, None, Variant(), "PointY", "")

/// Every member by name; the value is its dispatch number.
enum class GraphMember : int {
#define ZRVLOG_GRAPH_ENUM(number, name, type, scope, editor, def, label, choices) name = number,
  ZRVLOG_GRAPH_MEMBERS(ZRVLOG_GRAPH_ENUM)
#undef ZRVLOG_GRAPH_ENUM
};

/// One row of the table.
struct MemberInfo {
  GraphMember member;
  const char* name;  ///< as hosts know it ("RangeXMin"); methods too
  MemberType type;
  MemberScope scope;
  MemberEditor editor;
  zrv::Variant defaultValue;  ///< already of the member's type; empty for methods
  QString label;              ///< what the property dialog calls it
  QString choices;            ///< for Choice editors: the meanings of 0, 1, ... joined by '|'
  int slot;                   ///< position among the stored values of its scope; -1 if not stored

  int number() const { return static_cast<int>(member); }
  bool isMethod() const { return type == MemberType::Method; }
  /// Counts: assignment raises 382.
  bool isReadOnly() const;
  /// ElementIndex, AnnotationIndex, CursorIndex: they select, they are not stored per item.
  bool isSelector() const;
};

/// All rows, in table order.
std::span<const MemberInfo> graphMembers();
/// The row of a dispatch number, or nullptr when there is none.
const MemberInfo* findMember(int number);
/// The row of a member (always found).
const MemberInfo& memberInfo(GraphMember member);
/// How many values a scope stores per item (graph, one element, one annotation, one cursor).
int storedCount(MemberScope scope);

/// A value converted to a member's type, as an assignment does: 13 when it cannot be
/// converted, 6 when it does not fit (or is not a finite double).
zrv::Variant convertForMember(const MemberInfo& info, const zrv::Variant& value);

}  // namespace zrvlog
