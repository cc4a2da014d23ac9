#include "graphmodel.h"

#include <cmath>
#include <unordered_set>

#include "app/graph/logging.h"
#include "common/automationerror.h"

Q_LOGGING_CATEGORY(lcGraph, "zrvlog.graph", QtInfoMsg)

namespace zrvlog {

using zrv::AutomationError;
using zrv::Variant;
namespace err = zrv::err;

namespace {

// Colours of new elements, 00BBGGRR: the first five are those of the five channels of a run.
constexpr int32_t kPalette[] = {0x00FF00, 0x0000FF, 0xFF0000, 0x00FFFF, 0xFFFFFF,
                                0xFFFF00, 0xFF00FF, 0x0080FF, 0x80FF80, 0xFF8080};

QString scopeNoun(MemberScope scope, bool plural) {
  switch (scope) {
    case MemberScope::Element:
      return plural ? QStringLiteral("elements") : QStringLiteral("element");
    case MemberScope::Annotation:
      return plural ? QStringLiteral("annotations") : QStringLiteral("annotation");
    case MemberScope::Cursor:
      return plural ? QStringLiteral("cursors") : QStringLiteral("cursor");
    case MemberScope::Graph:
      break;
  }
  return QStringLiteral("graph");
}

[[noreturn]] void outOfRange(const QString& what, int64_t index, int64_t count,
                             const QString& noun) {
  const QString valid = count > 0 ? QStringLiteral(" (0 to %1)").arg(count - 1) : QString();
  throw AutomationError(err::kSubscriptOutOfRange, QStringLiteral("%1 %2 is out of range: there "
                                                                  "are %3 %4%5")
                                                       .arg(what)
                                                       .arg(index)
                                                       .arg(count)
                                                       .arg(noun, valid));
}

const MemberInfo& requireMember(int number) {
  const MemberInfo* info = findMember(number);
  if (!info)
    throw AutomationError(err::kMemberNotFound,
                          QStringLiteral("the graph has no member number %1").arg(number));
  return *info;
}

// A range around a single value, so that fitting never gives an empty axis.
GraphModel::Range widen(double lo, double hi) {
  if (lo < hi) return {lo, hi};
  const double d = lo == 0.0 ? 1.0 : std::abs(lo) * 0.1;
  return {lo - d, hi + d};
}

}  // namespace

GraphModel::GraphModel(QObject* parent) : QObject(parent) {
  m_graph.resize(storedCount(MemberScope::Graph));
  for (const MemberInfo& row : graphMembers())
    if (row.scope == MemberScope::Graph && row.slot >= 0) m_graph[row.slot] = row.defaultValue;
  m_elements.push_back(makeElement(0, std::make_shared<ChunkedColumn>()));
}

GraphModel::~GraphModel() = default;

// --- Notification ------------------------------------------------------------------------

void GraphModel::touch(unsigned change) {
  m_changes |= change;
  if (m_signalPending) return;
  m_signalPending = true;
  Q_EMIT changed();
}

unsigned GraphModel::takeChanges() {
  const unsigned changes = m_changes;
  m_changes = 0;
  m_signalPending = false;
  return changes;
}

// --- Items -------------------------------------------------------------------------------

GraphModel::Element GraphModel::makeElement(int index, std::shared_ptr<ChunkedColumn> x) const {
  Element e{makeItem(MemberScope::Element).values, Series(std::move(x)), nullptr};
  const int32_t colour = kPalette[index % std::size(kPalette)];
  e.values[memberInfo(GraphMember::ElementColor).slot] = Variant(colour);
  e.values[memberInfo(GraphMember::ElementPointColor).slot] = Variant(colour);
  e.values[memberInfo(GraphMember::ElementLabel).slot] =
      Variant(QStringLiteral("Element %1").arg(index + 1));
  return e;
}

GraphModel::Item GraphModel::makeItem(MemberScope scope) {
  Item item;
  item.values.resize(storedCount(scope));
  for (const MemberInfo& row : graphMembers())
    if (row.scope == scope && row.slot >= 0) item.values[row.slot] = row.defaultValue;
  return item;
}

void GraphModel::checkRoom(int count, const char* what) const {
  if (count >= kMaxItems)
    throw AutomationError(
        err::kOverflow,
        QStringLiteral("the graph holds at most %1 %2").arg(kMaxItems).arg(QLatin1String(what)));
}

void GraphModel::resetElements() {
  qCDebug(lcGraph) << "ResetElements: dropping" << elementCount() << "elements,"
                   << (m_elements.empty() ? 0 : qint64(m_elements[0].points().size()))
                   << "points in element 0";
  m_elements.clear();
  m_elements.push_back(makeElement(0, std::make_shared<ChunkedColumn>()));
  m_currentElement = 0;
  touch(ItemsChanged | PointsChanged);
}

void GraphModel::newElement() {
  checkRoom(elementCount(), "elements");
  // A new element starts on the X column of the last one: the channels of a run receive
  // the same X values, so they keep sharing one column for as long as they agree.
  m_elements.push_back(makeElement(elementCount(), m_elements.back().series.sharedX()));
  m_currentElement = elementCount() - 1;
  touch(ItemsChanged);
}

void GraphModel::newAnnotation() {
  checkRoom(annotationCount(), "annotations");
  m_annotations.push_back(makeItem(MemberScope::Annotation));
  m_currentAnnotation = annotationCount() - 1;
  touch(ItemsChanged);
}

void GraphModel::newCursor() {
  checkRoom(cursorCount(), "cursors");
  m_cursors.push_back(makeItem(MemberScope::Cursor));
  m_currentCursor = cursorCount() - 1;
  touch(ItemsChanged);
}

void GraphModel::dropAnnotation(int index) {
  if (index < 0 || index >= annotationCount())
    outOfRange(QStringLiteral("DropAnnotation index"), index, annotationCount(),
               QStringLiteral("annotations"));
  m_annotations.erase(m_annotations.begin() + index);
  if (m_currentAnnotation >= annotationCount()) m_currentAnnotation = annotationCount() - 1;
  touch(ItemsChanged);
}

void GraphModel::dropCursor(int index) {
  if (index < 0 || index >= cursorCount())
    outOfRange(QStringLiteral("DropCursor index"), index, cursorCount(), QStringLiteral("cursors"));
  m_cursors.erase(m_cursors.begin() + index);
  if (m_currentCursor >= cursorCount()) m_currentCursor = cursorCount() - 1;
  touch(ItemsChanged);
}

// --- Points ------------------------------------------------------------------------------

void GraphModel::checkElement(int element) const {
  if (element < 0 || element >= elementCount())
    outOfRange(QStringLiteral("Element"), element, elementCount(), QStringLiteral("elements"));
}

void GraphModel::addPoint(double x, double y, int element) {
  checkElement(element);
  if (!std::isfinite(x) || !std::isfinite(y))
    throw AutomationError(err::kInvalidArgument,
                          QStringLiteral("AddPoint needs finite X and Y values"));
  if (showsSamples(element))
    throw AutomationError(err::kInvalidArgument,
                          QStringLiteral("element %1 shows the recorded samples of channel %1 and "
                                         "takes no points of its own: add them to a new element")
                              .arg(element));
  Series& s = m_elements[element].series;
  // PointY addresses points with a 32-bit index.
  if (s.size() >= size_t(INT32_MAX))
    throw AutomationError(
        err::kOutOfMemory,
        QStringLiteral("element %1 is full (%2 points)").arg(element).arg(qint64(s.size())));
  s.append(x, y);
  touch(PointsChanged);
}

double GraphModel::pointY(int64_t index, int element) const {
  checkElement(element);
  const Points& s = m_elements[element].points();
  if (index < 0 || index >= int64_t(s.size()))
    outOfRange(QStringLiteral("Point"), index, int64_t(s.size()),
               QStringLiteral("points in element %1").arg(element));
  return s.y(size_t(index));
}

const Points& GraphModel::points(int element) const {
  checkElement(element);
  return m_elements[element].points();
}

const Series& GraphModel::series(int element) const {
  checkElement(element);
  return m_elements[element].series;
}

void GraphModel::showSamples(int element, std::unique_ptr<const Points> samples) {
  checkElement(element);
  m_elements[element].series = Series();
  m_elements[element].samples = std::move(samples);
  touch(PointsChanged);
}

bool GraphModel::showsSamples(int element) const {
  checkElement(element);
  return m_elements[element].samples != nullptr;
}

Extents GraphModel::shownExtents() const {
  const int shown = memberInfo(GraphMember::ElementShow).slot;
  Extents all;
  for (const Element& e : m_elements)
    if (e.values[shown].boolValue()) all.unite(e.points().extents());
  return all;
}

std::optional<size_t> GraphModel::nearestPoint(int element, double x) const {
  const Points& s = points(element);
  const size_t n = s.size();
  if (n == 0) return std::nullopt;
  if (s.xSorted()) {
    const size_t i = s.lowerBound(x, 0, n);
    if (i == 0) return 0;
    if (i == n) return n - 1;
    return (x - s.x(i - 1) <= s.x(i) - x) ? i - 1 : i;
  }
  // X not in order: the search has to look at every point.
  size_t best = 0;
  for (size_t i = 1; i < n; ++i)
    if (std::abs(s.x(i) - x) < std::abs(s.x(best) - x)) best = i;
  return best;
}

std::optional<ViewRanges> GraphModel::fittedRanges() const {
  const Extents e = shownExtents();
  if (e.empty()) return std::nullopt;
  auto fit = [&](double lo, double hi, GraphMember log, GraphMember divisions, Anchor anchor) {
    if (graphValue(log).boolValue()) return widen(lo, hi);
    return niceRange(lo, hi, graphValue(divisions).integerValue(), anchor);
  };
  // Time runs from the left edge; values sit in the middle.
  return ViewRanges{
      fit(e.minX, e.maxX, GraphMember::LogX, GraphMember::GridCountX, Anchor::Low),
      fit(e.minY, e.maxY, GraphMember::LogY, GraphMember::GridCountY, Anchor::Centre)};
}

void GraphModel::fitRange() {
  if (const auto fitted = fittedRanges()) setRanges(fitted->x, fitted->y);
}

size_t GraphModel::pointBytes() const {
  std::unordered_set<const void*> seen;
  size_t chunks = 0;
  auto count = [&](const ChunkedColumn& c) {
    for (size_t i = 0; i < c.chunkCount(); ++i)
      if (seen.insert(c.chunkId(i)).second) ++chunks;
  };
  for (const Element& e : m_elements) {
    count(e.series.xColumn());
    count(e.series.yColumn());
  }
  return chunks * ChunkedColumn::chunkBytes();
}

// --- Ranges ------------------------------------------------------------------------------

GraphModel::Range GraphModel::rangeX() const {
  return {graphValue(GraphMember::RangeXMin).doubleValue(),
          graphValue(GraphMember::RangeXMax).doubleValue()};
}

GraphModel::Range GraphModel::rangeY() const {
  return {graphValue(GraphMember::RangeYMin).doubleValue(),
          graphValue(GraphMember::RangeYMax).doubleValue()};
}

void GraphModel::setRanges(Range x, Range y) {
  const Range oldX = rangeX(), oldY = rangeY();
  if (oldX.lower == x.lower && oldX.upper == x.upper && oldY.lower == y.lower &&
      oldY.upper == y.upper)
    return;
  setValue(GraphMember::RangeXMin, 0, Variant(x.lower));
  setValue(GraphMember::RangeXMax, 0, Variant(x.upper));
  setValue(GraphMember::RangeYMin, 0, Variant(y.lower));
  setValue(GraphMember::RangeYMax, 0, Variant(y.upper));
}

void GraphModel::setTrackPosition(double x, double y) {
  m_trackX = x;
  m_trackY = y;
}

// --- Values ------------------------------------------------------------------------------

int GraphModel::currentIndex(MemberScope scope) const {
  switch (scope) {
    case MemberScope::Element:
      return m_currentElement;
    case MemberScope::Annotation:
      return m_currentAnnotation;
    case MemberScope::Cursor:
      return m_currentCursor;
    case MemberScope::Graph:
      break;
  }
  return 0;
}

const Variant& GraphModel::slot(const MemberInfo& info, int index) const {
  return const_cast<GraphModel*>(this)->slot(info, index);
}

Variant& GraphModel::slot(const MemberInfo& info, int index) {
  if (info.slot < 0)
    throw AutomationError(err::kMemberNotFound,
                          QStringLiteral("%1 holds no stored value").arg(info.name));
  std::vector<Variant>* values = nullptr;
  int count = 1;
  switch (info.scope) {
    case MemberScope::Graph:
      return m_graph[info.slot];
    case MemberScope::Element:
      count = elementCount();
      if (index >= 0 && index < count) values = &m_elements[index].values;
      break;
    case MemberScope::Annotation:
      count = annotationCount();
      if (index >= 0 && index < count) values = &m_annotations[index].values;
      break;
    case MemberScope::Cursor:
      count = cursorCount();
      if (index >= 0 && index < count) values = &m_cursors[index].values;
      break;
  }
  if (!values)
    outOfRange(QStringLiteral("%1: %2").arg(QLatin1String(info.name), scopeNoun(info.scope, false)),
               index, count, scopeNoun(info.scope, true));
  return (*values)[info.slot];
}

const Variant& GraphModel::graphValue(GraphMember member) const {
  return slot(memberInfo(member), 0);
}

const Variant& GraphModel::itemValue(GraphMember member, int index) const {
  return slot(memberInfo(member), index);
}

void GraphModel::setValue(GraphMember member, int index, const Variant& value) {
  const MemberInfo& info = memberInfo(member);
  Variant converted = convertForMember(info, value);
  Variant& stored = slot(info, index);
  if (stored == converted) return;
  stored = std::move(converted);
  const bool range = member == GraphMember::RangeXMin || member == GraphMember::RangeXMax ||
                     member == GraphMember::RangeYMin || member == GraphMember::RangeYMax;
  touch(range ? RangeChanged : AppearanceChanged);
}

void GraphModel::select(const MemberInfo& info, const Variant& value) {
  const int16_t index = convertForMember(info, value).integerValue();
  const MemberScope scope = info.member == GraphMember::ElementIndex      ? MemberScope::Element
                            : info.member == GraphMember::AnnotationIndex ? MemberScope::Annotation
                                                                          : MemberScope::Cursor;
  const int count = scope == MemberScope::Element      ? elementCount()
                    : scope == MemberScope::Annotation ? annotationCount()
                                                       : cursorCount();
  if (index < 0 || index >= count)
    outOfRange(QLatin1String(info.name), index, count, scopeNoun(scope, true));
  if (scope == MemberScope::Element)
    m_currentElement = index;
  else if (scope == MemberScope::Annotation)
    m_currentAnnotation = index;
  else
    m_currentCursor = index;
}

Variant GraphModel::property(int number) const {
  const MemberInfo& info = requireMember(number);
  switch (info.member) {
    case GraphMember::ElementIndex:
      return Variant(int16_t(m_currentElement));
    case GraphMember::AnnotationIndex:
      return Variant(int16_t(m_currentAnnotation));
    case GraphMember::CursorIndex:
      return Variant(int16_t(m_currentCursor));
    case GraphMember::ElementTotal:
      return Variant(int16_t(elementCount()));
    case GraphMember::AnnotationTotal:
      return Variant(int16_t(annotationCount()));
    case GraphMember::CursorTotal:
      return Variant(int16_t(cursorCount()));
    case GraphMember::CursorPosX:
      if (m_cursors.empty()) return Variant(m_trackX);
      break;
    case GraphMember::CursorPosY:
      if (m_cursors.empty()) return Variant(m_trackY);
      break;
    default:
      break;
  }
  if (info.isMethod())
    throw AutomationError(err::kMemberNotFound,
                          QStringLiteral("%1 is a method, not a property").arg(info.name));
  return slot(info, currentIndex(info.scope));
}

void GraphModel::setProperty(int number, const Variant& value) {
  const MemberInfo& info = requireMember(number);
  if (info.isReadOnly())
    throw AutomationError(err::kSetNotSupportedAtRunTime,
                          QStringLiteral("%1 is read-only").arg(info.name));
  if (info.isSelector()) return select(info, value);
  if (m_cursors.empty() &&
      (info.member == GraphMember::CursorPosX || info.member == GraphMember::CursorPosY)) {
    const double v = convertForMember(info, value).doubleValue();
    (info.member == GraphMember::CursorPosX ? m_trackX : m_trackY) = v;
    return;
  }
  if (info.isMethod())
    throw AutomationError(err::kMemberNotFound,
                          QStringLiteral("%1 is a method, not a property").arg(info.name));
  setValue(info.member, currentIndex(info.scope), value);
}

Variant GraphModel::invoke(int number, std::span<const Variant> args) {
  const MemberInfo& info = requireMember(number);
  auto expect = [&](size_t n) {
    if (args.size() != n)
      throw AutomationError(err::kWrongArgumentCount, QStringLiteral("%1 takes %2 argument(s), "
                                                                     "not %3")
                                                          .arg(info.name)
                                                          .arg(n)
                                                          .arg(args.size()));
  };
  switch (info.member) {
    case GraphMember::FitRange:
      expect(0);
      fitRange();
      return {};
    case GraphMember::NewElement:
      expect(0);
      newElement();
      return {};
    case GraphMember::ResetElements:
      expect(0);
      resetElements();
      return {};
    case GraphMember::AddPoint:
      expect(3);
      addPoint(args[0].toDouble(), args[1].toDouble(), args[2].toInteger());
      return {};
    case GraphMember::NewAnnotation:
      expect(0);
      newAnnotation();
      return {};
    case GraphMember::DropAnnotation:
      expect(1);
      dropAnnotation(args[0].toInteger());
      return {};
    case GraphMember::NewCursor:
      expect(0);
      newCursor();
      return {};
    case GraphMember::DropCursor:
      expect(1);
      dropCursor(args[0].toInteger());
      return {};
    case GraphMember::PointY:
      expect(2);
      return Variant(pointY(args[0].toLong(), args[1].toInteger()));
    default:
      break;
  }
  throw AutomationError(err::kMemberNotFound,
                        QStringLiteral("%1 is not a method of the graph model").arg(info.name));
}

}  // namespace zrvlog
