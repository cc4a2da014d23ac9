#pragma once
// Document: one data set as a file holds it, apart from any run. Its samples live in a
// sample store (key, time stamp, jitter and one value per channel, on disk); beside them the
// settings, the calibration, the sample interval, the Autorange switch, the graph's look,
// the file name and whether anything is unsaved. Loading, saving, converting and recovering
// need nothing else; a run records into a document (app/acquisition/engine.h).
//
// The graph's channel elements draw the store's channels where they are kept, so a sample is
// written once (into the store) and every reader (the writers, the journal, the live outputs,
// the graph) takes it from there.

#include <QObject>
#include <QString>
#include <chrono>
#include <cstdint>
#include <memory>
#include <span>

#include "app/documents/dataset.h"
#include "app/documents/runsettings.h"
#include "common/variant.h"

namespace zrvlog {

class GraphModel;
class SampleStore;

/// The two calibration presets of the Data menu.
enum class Quickset { Volts0To5, RawCounts };

class Document : public QObject {
  Q_OBJECT

 public:
  /// A document with a graph model of its own (converting, recovering, the tests).
  Document();
  /// A document whose look is graph (the window's, which its view draws).
  explicit Document(GraphModel& graph);
  ~Document() override;

  /// Where documents made from now on keep their samples: a private folder each, inside
  /// parent (made when missing). The system's temporary folder until set, and when parent
  /// refuses; memory when both do.
  static void setSampleFolder(const QString& parent);

  GraphModel& graph() { return *m_graph; }
  const GraphModel& graph() const { return *m_graph; }
  // --- Where the samples' files are ------------------------------------------------------
  // A document's samples live in a private folder of its own, removed with the document and
  // emptied in place. A run's journal moves them into its own folder for as long as they
  // are not saved (app/recovery/runjournal.h): they are then left where they are when the
  // document goes, and a document emptied for other samples starts a new store.

  /// The folder of the samples' files; empty while they are kept in memory.
  QString sampleFolder() const { return m_storeFolder; }
  /// Moves the samples' files to folder (a free name), where they are synced every syncEvery
  /// and left when the document goes. On another file system, or from memory, they are
  /// copied there. Raises error 75 when neither can be done, and nothing changes.
  void moveSamplesTo(const QString& folder, std::chrono::milliseconds syncEvery);
  /// Takes the samples back into a private folder of its own, unsynced (their journal is
  /// done with them). Where that cannot be done they stay, and go with the document.
  void takeSamplesBack();
  /// Takes store as its samples, in place, such as a journal's store left by a run that
  /// ended without saving; it is left where it is when the document goes. Sets the next
  /// sample's time after the last one.
  void adoptSamples(std::unique_ptr<SampleStore> store);

  /// Every sample of the document, in recording order.
  SampleStore& store() { return *m_store; }
  const SampleStore& store() const { return *m_store; }
  std::size_t sampleCount() const;
  /// The key a sample is known by: "T" and its nominal time in the general number format.
  QString keyText(std::size_t row) const;

  AcquisitionSettings settings;
  /// The calibration, the nominal time of the next sample, the start time, the file name
  /// and the unsaved flag.
  DataSet data;

  /// The sample interval in ms, at least 1 (error 5 otherwise, and nothing changes).
  int32_t interval() const { return m_intervalMs; }
  void setInterval(int32_t milliseconds);
  /// The Data > Autorange switch: while on, a run fits the graph to the data at every tick.
  bool autorange() const { return m_autorange; }
  void setAutorange(bool on);

  /// Appends one sample under the current key (SampleTime) and moves SampleTime on by
  /// intervalMs. values holds one value per channel.
  void appendSample(const zrv::Variant& stamp, const zrv::Variant& jitter,
                    std::span<const double> values, int32_t intervalMs);

  // --- Resets, as the Data menu and a new run make them -----------------------------------
  /// Empties the samples (store and data set) and rebuilds the five channel elements with
  /// their colours and names; hands the settings' ranges to the graph.
  void clearAll();
  /// Empties the samples for a new run, keeping the graph's look (element colours, names,
  /// styles, label formats, fonts and the other appearance settings).
  void clearForRun();
  /// clearAll, then the default ranges (0-100 s, 0-5) in the settings, default label
  /// formats, and no annotations or cursors.
  void initGraph();
  /// The Y range and calibration presets: 0-5 V (a1 = kVoltsPerCount) or raw counts (a1 = 1).
  void quickset(Quickset preset);
  /// What the program sets up when it starts: a 1000 ms interval, the default graph and
  /// ranges, 25% tolerance, the 0-5 V preset, no averaging, five channels, doubled A/D clock.
  void applyStartUpDefaults();
  /// Hands the settings' ranges to the graph.
  void setGraphRanges();

 Q_SIGNALS:
  /// Samples first to end (exclusive) were added, whichever store holds them now.
  void samplesAppended(qint64 first, qint64 end);
  /// The samples were emptied: what was recorded is gone.
  void samplesCleared();
  void autorangeChanged(bool on);

 private:
  void makeStore();
  /// Takes store, kept in folder (removed with the document when owns), as the samples.
  void useStore(std::unique_ptr<SampleStore> store, const QString& folder, bool owns);
  void copySamplesTo(const QString& folder);
  void clearSamples();
  void buildChannelElements();
  /// Lets the channel elements show the store's channels.
  void showChannels();

  std::unique_ptr<GraphModel> m_ownGraph;
  GraphModel* m_graph;
  QString m_storeFolder;
  bool m_ownsStoreFolder = true;  // removed with the document, emptied in place
  std::unique_ptr<SampleStore> m_store;
  int32_t m_intervalMs = 1000;
  bool m_autorange = false;
};

}  // namespace zrvlog
