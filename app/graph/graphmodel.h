#pragma once
// GraphModel: everything the graph component holds, without any window: the elements and
// their points, the annotations, the cursors and every numbered property (graphmembers.h).
// GraphView renders it; a document (app/documents/document.h) keeps it as its look and lets
// the channel elements show its sample store's channels (showSamples), without a copy.
//
// Errors: zrv::AutomationError with 9 for an index out of range (element, annotation,
// cursor, point), 13 for a value that cannot be converted to the member's type, 6 for one
// that does not fit it, 382 for assigning a count, 438 for an unknown number.
// Threading: the UI thread only. The sampling tick runs on a thread of its own but never
// touches the model: its readings reach the engine, which appends them to the document's
// store on the UI thread, and the store's appended signal asks for a redraw.
//
// Change notification: changed() is emitted once when something visible changes, and not
// again until the view has caught up by calling takeChanges(). A tick appending five points
// thus costs one signal at most, and a burst of a thousand points costs no more.

#include <QObject>
#include <cstdint>
#include <memory>
#include <optional>
#include <span>
#include <vector>

#include "app/graph/cursormode.h"
#include "app/graph/graphmembers.h"
#include "app/graph/nicescale.h"
#include "app/graph/pointstore.h"
#include "common/variant.h"

namespace zrvlog {

class GraphModel : public QObject {
  Q_OBJECT

 public:
  /// What changed since the view last caught up (bits of takeChanges()).
  enum Change : unsigned {
    PointsChanged = 1,      ///< points appended
    AppearanceChanged = 2,  ///< a graph, element, annotation or cursor setting
    ItemsChanged = 4,       ///< elements, annotations or cursors added or removed
    RangeChanged = 8,       ///< the axis ranges
  };
  using Range = AxisRange;
  /// Counts are 16-bit for hosts: no more items than this.
  static constexpr int kMaxItems = 32767;

  explicit GraphModel(QObject* parent = nullptr);
  ~GraphModel() override;

  // --- Properties and methods by dispatch number -----------------------------------------
  /// A property's value, in the member's type. Per-item members read the current item.
  zrv::Variant property(int number) const;
  zrv::Variant property(GraphMember member) const { return property(static_cast<int>(member)); }
  /// Assigns a property, converting the value to the member's type first.
  void setProperty(int number, const zrv::Variant& value);
  void setProperty(GraphMember member, const zrv::Variant& value) {
    setProperty(static_cast<int>(member), value);
  }
  /// Runs a method that needs no window: FitRange, NewElement, ResetElements, AddPoint(x, y,
  /// element), NewAnnotation, DropAnnotation(i), NewCursor, DropCursor(i), PointY(i,
  /// element). Returns PointY's value, empty otherwise. The view's methods (CopyGraph,
  /// PrintPlot, PropertyDialog, SaveBitmap) raise 438 here: GraphView::invoke runs them.
  zrv::Variant invoke(int number, std::span<const zrv::Variant> args = {});

  // --- Methods ------------------------------------------------------------------------
  /// Removes every element with its points and leaves one empty element 0, current, with
  /// the default settings. Graph settings, annotations and cursors are left alone.
  void resetElements();
  /// Adds an empty element with default settings and makes it current.
  void newElement();
  void newAnnotation();  ///< adds one with default settings and makes it current
  void dropAnnotation(int index);
  void newCursor();  ///< adds one with default settings and makes it current
  void dropCursor(int index);
  /// Appends a point to an element. O(1) amortised; X and Y must be finite. An element that
  /// shows a document's samples takes none (error 5): its points are the recorded ones.
  void addPoint(double x, double y, int element);
  /// Y of point index (0 = first) of an element. O(1).
  double pointY(int64_t index, int element) const;
  /// Fits the ranges to the extents of the points of the shown elements (kept up to date on
  /// every append, so this costs the same with ten points or ten million). A linear axis gets
  /// the smallest range of its grid count in round steps (nicescale.h) that holds them, from
  /// the grid line at or below the lowest point; a logarithmic one gets the extents. An axis
  /// whose points all share one value gets a range around it. With no point in any shown
  /// element the ranges stay as they are.
  void fitRange();
  /// What fitRange would set, or nothing when no shown element has a point.
  std::optional<ViewRanges> fittedRanges() const;
  ViewRanges ranges() const { return {rangeX(), rangeY()}; }

  // --- Direct access for the view, the dialog and the engine ------------------------------
  int elementCount() const { return static_cast<int>(m_elements.size()); }
  int annotationCount() const { return static_cast<int>(m_annotations.size()); }
  int cursorCount() const { return static_cast<int>(m_cursors.size()); }
  int currentElement() const { return m_currentElement; }
  int currentAnnotation() const { return m_currentAnnotation; }  ///< -1 when there is none
  int currentCursor() const { return m_currentCursor; }          ///< -1 when there is none

  /// A graph-scope setting (not the selectors or counts: use property() for those).
  const zrv::Variant& graphValue(GraphMember member) const;
  /// A per-item setting of the element, annotation or cursor at index (by the member's scope).
  const zrv::Variant& itemValue(GraphMember member, int index) const;
  /// Assigns a setting of any scope without touching the current indices (index is ignored
  /// for graph settings). Converts like setProperty.
  void setValue(GraphMember member, int index, const zrv::Variant& value);

  /// The points an element shows: its own series, or the samples it was given.
  const Points& points(int element) const;
  /// An element's own series (empty for an element that shows samples).
  const Series& series(int element) const;
  /// Lets element show samples kept elsewhere instead of points of its own, until the
  /// elements are reset; the keeper calls samplesChanged() when they grow or go.
  void showSamples(int element, std::unique_ptr<const Points> samples);
  bool showsSamples(int element) const;
  void samplesChanged() { touch(PointsChanged); }
  /// Extents of the points of the shown elements.
  Extents shownExtents() const;
  /// The point of an element nearest to x (by X), or nothing when the element is empty.
  std::optional<size_t> nearestPoint(int element, double x) const;

  /// The mouse mode CursorMode names; nothing when it holds a number no mode has.
  std::optional<CursorMode> cursorMode() const {
    return cursorModeOf(graphValue(GraphMember::CursorMode).longValue());
  }

  Range rangeX() const;
  Range rangeY() const;
  /// Sets all four ranges at once, as zooming and panning do.
  void setRanges(Range x, Range y);
  /// Where the track cursor last was: CursorPosX/Y read and write it while no cursor exists.
  void setTrackPosition(double x, double y);

  /// Bytes held for points (shared chunks counted once).
  size_t pointBytes() const;

  /// What changed since the last call, and re-arms changed().
  unsigned takeChanges();

 Q_SIGNALS:
  /// Something visible changed; emitted once until takeChanges() is called.
  void changed();

 private:
  struct Element {
    std::vector<zrv::Variant> values;
    Series series;
    std::unique_ptr<const Points> samples;  // shown instead of series when set
    const Points& points() const { return samples ? *samples : static_cast<const Points&>(series); }
  };
  struct Item {
    std::vector<zrv::Variant> values;
  };

  void touch(unsigned change);
  Element makeElement(int index, std::shared_ptr<ChunkedColumn> x) const;
  static Item makeItem(MemberScope scope);
  // The storage of a member's value for the item at index; raises 9 with a clear text.
  zrv::Variant& slot(const MemberInfo& info, int index);
  const zrv::Variant& slot(const MemberInfo& info, int index) const;
  int currentIndex(MemberScope scope) const;
  void select(const MemberInfo& info, const zrv::Variant& value);
  void checkElement(int element) const;
  void checkRoom(int count, const char* what) const;

  std::vector<zrv::Variant> m_graph;
  std::vector<Element> m_elements;
  std::vector<Item> m_annotations;
  std::vector<Item> m_cursors;
  int m_currentElement = 0;
  int m_currentAnnotation = -1;
  int m_currentCursor = -1;
  double m_trackX = 0.0;
  double m_trackY = 0.0;
  unsigned m_changes = 0;
  bool m_signalPending = false;
};

}  // namespace zrvlog
