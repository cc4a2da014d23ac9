#include "document.h"

#include <signal.h>
#include <unistd.h>

#include <QDir>
#include <QFileInfo>
#include <QLoggingCategory>
#include <QTemporaryDir>
#include <array>
#include <cerrno>
#include <cmath>
#include <vector>

#include "app/documents/channelpoints.h"
#include "app/graph/graphmodel.h"
#include "app/store/samplestore.h"
#include "common/automationerror.h"

Q_LOGGING_CATEGORY(lcDocument, "zrvlog.document", QtWarningMsg)

namespace zrvlog {

namespace {

using zrv::Variant;
using M = GraphMember;

// The five channel elements: colour (00BBGGRR) and legend name.
struct ChannelLook {
  int32_t colour;
  const char* name;
};
constexpr std::array<ChannelLook, kChannels> kChannelLooks{{
    {0x00FF00, "Channel 1"},  // green
    {0x0000FF, "Channel 2"},  // red
    {0xFF0000, "Channel 3"},  // blue
    {0x00FFFF, "Channel 4"},  // yellow
    {0xFFFFFF, "Channel 5"},  // white
}};

// The settings a new run keeps from the previous one, graph-wide and per element.
constexpr std::array kRunGraphLook{M::Caption,   M::LabelFormatX,  M::LabelFormatY,  M::FrameStyle,
                                   M::GridColor, M::GridShown,     M::AxisTitleFont, M::LabelColor,
                                   M::TickFont,  M::PlotAreaColor, M::TitleFont,     M::LegendFont};
constexpr std::array kRunElementLook{
    M::ElementColor,       M::ElementLabel, M::ElementLineStyle,   M::ElementPointColor,
    M::ElementPointSymbol, M::ElementShow,  M::ElementSolidPoints, M::ElementLineWidth};

constexpr QLatin1StringView kStorePrefix("zrvlog-samples-");

// The folder of a store carries its program's process id: a program killed with its store
// open cannot remove it, so the next one does, once no process of that id is left.
void removeStoresOfEndedPrograms(const QString& parent) {
  const QDir dir(parent);
  const QStringList folders =
      dir.entryList({kStorePrefix + QLatin1Char('*')}, QDir::Dirs | QDir::NoDotAndDotDot);
  for (const QString& name : folders) {
    const QString rest = name.mid(kStorePrefix.size());
    bool ok = false;
    const qint64 pid = rest.section(QLatin1Char('-'), 0, 0).toLongLong(&ok);
    if (!ok || pid <= 0 || pid == getpid()) continue;
    if (kill(pid_t(pid), 0) == 0 || errno != ESRCH) continue;  // alive, or not ours to ask
    const QString path = dir.filePath(name);
    if (QFileInfo(path).ownerId() != getuid()) continue;
    SampleStore::remove(path);
  }
}

// Never destroyed: a document destroyed by the exit handlers may still be made after it.
QString& sampleFolderSetting() {
  static auto* folder = new QString(QDir::tempPath());
  return *folder;
}

}  // namespace

void Document::setSampleFolder(const QString& parent) {
  sampleFolderSetting() = parent;
}

Document::Document() : m_ownGraph(std::make_unique<GraphModel>()), m_graph(m_ownGraph.get()) {
  makeStore();
}

Document::Document(GraphModel& graph) : m_graph(&graph) {
  makeStore();
}

Document::~Document() {
  m_store.reset();
  if (m_ownsStoreFolder && !m_storeFolder.isEmpty()) SampleStore::remove(m_storeFolder);
}

namespace {

// A new private folder for a document's samples in parent (made when missing), named after
// this process; raises error 75 when the disk refuses it.
QString newStoreFolder(const QString& parent) {
  if (!QDir().mkpath(parent))
    throw zrv::AutomationError(zrv::err::kPathFileAccessError,
                               QStringLiteral("Cannot create %1").arg(parent));
  removeStoresOfEndedPrograms(parent);
  QTemporaryDir folder(parent + QLatin1Char('/') + kStorePrefix + QString::number(getpid()) +
                       QStringLiteral("-XXXXXX"));
  if (!folder.isValid())
    throw zrv::AutomationError(
        zrv::err::kPathFileAccessError,
        QStringLiteral("Cannot create a folder in %1: %2").arg(parent, folder.errorString()));
  folder.setAutoRemove(false);
  return folder.path();
}

}  // namespace

void Document::makeStore() {
  // Nothing is lost with this store that the journal or a save does not keep: no syncing.
  SampleStore::Options options;
  options.syncInterval = std::chrono::milliseconds::zero();
  options.syncOnClose = false;
  QStringList refusals;
  std::unique_ptr<SampleStore> store;
  QString storeFolder;
  for (const QString& parent : {sampleFolderSetting(), QDir::tempPath()}) {
    try {
      storeFolder = newStoreFolder(parent);
      store = SampleStore::create(storeFolder, kChannels, options);
      break;
    } catch (const zrv::AutomationError& e) {
      refusals << (e.detail().isEmpty() ? e.message() : e.detail());
      if (!storeFolder.isEmpty()) QDir().rmdir(storeFolder);
      storeFolder.clear();
    }
    if (parent == QDir::tempPath()) break;  // tried already when it is the setting
  }
  if (!store) {
    // A disk that refuses the store (full, or a file-size limit) still lets a data set be
    // recorded, loaded and written, as long as memory lasts.
    qCWarning(lcDocument) << "keeping the samples in memory:" << refusals.join(QLatin1String("; "));
    options.inMemory = true;
    store = SampleStore::create(QStringLiteral("(memory)"), kChannels, options);
  }
  useStore(std::move(store), storeFolder, true);
}

void Document::useStore(std::unique_ptr<SampleStore> store, const QString& folder, bool owns) {
  // The files of a store that was this document's own go with it; a journal's stay.
  const QString ownFolder = m_ownsStoreFolder ? m_storeFolder : QString();
  m_storeFolder = folder;
  m_ownsStoreFolder = owns;
  std::unique_ptr<SampleStore> old = std::exchange(m_store, std::move(store));
  // The channel elements read the store itself: they only need to hear that it changed.
  connect(m_store.get(), &SampleStore::appended, m_graph, &GraphModel::samplesChanged);
  connect(m_store.get(), &SampleStore::cleared, m_graph, &GraphModel::samplesChanged);
  connect(m_store.get(), &SampleStore::appended, this, &Document::samplesAppended);
  // Elements that showed the old store show this one before the old one goes.
  if (old) {
    for (int c = 0; c < std::min(m_graph->elementCount(), kChannels); ++c)
      if (m_graph->showsSamples(c))
        m_graph->showSamples(c, std::make_unique<ChannelPoints>(*m_store, c));
    m_graph->samplesChanged();
  }
  old.reset();
  if (!ownFolder.isEmpty() && ownFolder != folder) SampleStore::remove(ownFolder);
}

void Document::moveSamplesTo(const QString& folder, std::chrono::milliseconds syncEvery) {
  try {
    m_store->moveTo(folder);
  } catch (const zrv::AutomationError&) {
    if (QFileInfo::exists(folder)) throw;  // a name that is taken: the caller picks another
    // Samples on another file system, or kept in memory: copied into a store there (a run's
    // journal starts at its first sample, so there is little to copy).
    copySamplesTo(folder);
  }
  m_storeFolder = folder;
  m_ownsStoreFolder = false;
  m_store->setSyncInterval(syncEvery);
}

void Document::copySamplesTo(const QString& folder) {
  SampleStore::Options options;
  options.syncInterval = std::chrono::milliseconds::zero();
  std::unique_ptr<SampleStore> copy;
  try {
    copy = SampleStore::create(folder, m_store->channels(), options);
    constexpr std::size_t kRowsPerStep = 65536;
    std::vector<StoredSample> rows;
    for (std::size_t first = 0; first < m_store->rows(); first += kRowsPerStep) {
      rows.clear();
      m_store->readRows(first, std::min(m_store->rows(), first + kRowsPerStep), rows);
      for (const StoredSample& row : rows)
        copy->stage(row.key, row.stamp, row.jitter, row.values);
      copy->commit();
    }
  } catch (const zrv::AutomationError&) {
    copy.reset();
    SampleStore::remove(folder);
    throw;
  }
  useStore(std::move(copy), folder, false);
}

void Document::takeSamplesBack() {
  if (m_ownsStoreFolder || m_storeFolder.isEmpty()) return;
  try {
    // A free name of its own: made, then let go for the rename to take.
    const QString folder = newStoreFolder(sampleFolderSetting());
    QDir().rmdir(folder);
    m_store->moveTo(folder);
    m_storeFolder = folder;
  } catch (const zrv::AutomationError& e) {
    // Removed with their journal, the files still serve this document until it goes.
    qCWarning(lcDocument) << "the samples stay in" << m_storeFolder << ":" << e.detail();
  }
  m_ownsStoreFolder = true;
  m_store->setSyncInterval(std::chrono::milliseconds::zero());
}

void Document::adoptSamples(std::unique_ptr<SampleStore> store) {
  const QString folder = store->folder();
  useStore(std::move(store), folder, false);
  data.SampleTime = int16_t{0};
  if (const std::size_t rows = m_store->rows()) {
    data.SampleTime = m_store->key(rows - 1);
    data.advanceSampleTime(m_intervalMs);
  }
}

std::size_t Document::sampleCount() const {
  return m_store->rows();
}

QString Document::keyText(std::size_t row) const {
  return QLatin1Char('T') + Variant(m_store->key(row)).toText();
}

void Document::setInterval(int32_t milliseconds) {
  if (milliseconds < 1)
    throw zrv::AutomationError(
        zrv::err::kInvalidArgument,
        QStringLiteral("the timer interval must be at least 1 ms, not %1").arg(milliseconds));
  m_intervalMs = milliseconds;
}

void Document::setAutorange(bool on) {
  if (on == m_autorange) return;
  m_autorange = on;
  Q_EMIT autorangeChanged(on);
}

void Document::appendSample(const Variant& stamp, const Variant& jitter,
                            std::span<const double> values, int32_t intervalMs) {
  m_store->append(data.SampleTime.toDouble(), stamp, jitter, values);
  data.advanceSampleTime(intervalMs);
}

void Document::showChannels() {
  for (int c = 0; c < std::min(m_graph->elementCount(), kChannels); ++c)
    m_graph->showSamples(c, std::make_unique<ChannelPoints>(*m_store, c));
}

void Document::clearSamples() {
  data.reset();
  // Files left for a journal stay whole for it: these samples start a new store.
  if (m_ownsStoreFolder)
    m_store->clear();
  else
    makeStore();
  Q_EMIT samplesCleared();
}

void Document::setGraphRanges() {
  m_graph->setProperty(M::RangeXMax, settings.MAXX);
  m_graph->setProperty(M::RangeYMax, settings.MAXY);
  m_graph->setProperty(M::RangeXMin, settings.MINX);
  m_graph->setProperty(M::RangeYMin, settings.MINY);
}

void Document::buildChannelElements() {
  m_graph->resetElements();
  for (int c = 0; c < kChannels; ++c) {
    if (c > 0) m_graph->newElement();
    m_graph->setProperty(M::ElementIndex, Variant(static_cast<int16_t>(c)));
    m_graph->setProperty(M::ElementColor, Variant(kChannelLooks[c].colour));
    m_graph->setProperty(M::ElementLabel, Variant(kChannelLooks[c].name));
  }
  showChannels();
}

void Document::clearAll() {
  clearSamples();
  buildChannelElements();
  setGraphRanges();
  m_graph->setProperty(M::GridCountX, Variant(int16_t{20}));
  m_graph->setProperty(M::GridCountY, Variant(int16_t{10}));
}

void Document::initGraph() {
  clearAll();
  // The graph receives these ranges at the next clearAll or clearForRun.
  settings.MINX = int16_t{0};
  settings.MAXX = int16_t{100};
  settings.MINY = int16_t{0};
  settings.MAXY = int16_t{5};
  m_graph->setProperty(M::LabelFormatX, Variant("%.1f"));
  m_graph->setProperty(M::LabelFormatY, Variant("%g"));
  // The X axis is the time of the samples; a title the user gave it stays.
  if (m_graph->property(M::AxisTitleX).toText().isEmpty())
    m_graph->setProperty(M::AxisTitleX, Variant("Time (s)"));
  for (int i = m_graph->annotationCount() - 1; i >= 0; --i)
    m_graph->dropAnnotation(i);
  for (int i = m_graph->cursorCount() - 1; i >= 0; --i)
    m_graph->dropCursor(i);
}

void Document::clearForRun() {
  GraphModel& g = *m_graph;
  std::array<Variant, kRunGraphLook.size()> graphLook;
  for (std::size_t i = 0; i < kRunGraphLook.size(); ++i)
    graphLook[i] = g.property(kRunGraphLook[i]);
  const Variant legend = g.property(M::LegendOn);
  std::array<std::array<Variant, kRunElementLook.size()>, kChannels> elementLook;
  for (int c = 0; c < kChannels; ++c) {
    g.setProperty(M::ElementIndex, Variant(static_cast<int16_t>(c)));
    for (std::size_t i = 0; i < kRunElementLook.size(); ++i)
      elementLook[c][i] = g.property(kRunElementLook[i]);
  }

  clearSamples();
  g.resetElements();
  setGraphRanges();
  for (std::size_t i = 0; i < kRunGraphLook.size(); ++i)
    g.setProperty(kRunGraphLook[i], graphLook[i]);
  for (int c = 0; c < kChannels; ++c) {
    if (c > 0) g.newElement();
    g.setProperty(M::ElementIndex, Variant(static_cast<int16_t>(c)));
    for (std::size_t i = 0; i < kRunElementLook.size(); ++i)
      g.setProperty(kRunElementLook[i], elementLook[c][i]);
  }
  showChannels();
  g.setProperty(M::LegendOn, legend);
}

void Document::quickset(Quickset preset) {
  const bool volts = preset == Quickset::Volts0To5;
  settings.MINY = int16_t{0};
  settings.MAXY = volts ? int16_t{5} : int16_t{1023};
  m_graph->setProperty(M::RangeYMax, settings.MAXY);
  m_graph->setProperty(M::RangeYMin, settings.MINY);
  data.ClearCoef();
  for (int16_t c = 0; c < kChannels; ++c)
    data.SetCoef(1, c, Variant(volts ? kVoltsPerCount : 1.0));
  m_graph->setProperty(M::LabelFormatY, Variant(volts ? "%g V" : "%4.0f"));
}

void Document::applyStartUpDefaults() {
  setInterval(1000);
  initGraph();
  clearAll();  // hands initGraph's ranges to the graph
  settings.Tol = int16_t{25};
  quickset(Quickset::Volts0To5);
  settings.AvgCt = 1;
  settings.ChanLimit = 5;
  settings.ClkX2 = true;
}

}  // namespace zrvlog
