#pragma once
// SampleStore: every sample of a data set, in typed columns kept in files of one folder, so
// that memory stays bounded however long a run grows.
//
// A sample is its key (the nominal time in seconds, from which the "T..." key text is
// formed), its time stamp (normally a date-time), its jitter (normally whole milliseconds,
// a Long) and one double per channel. Each goes into a column file of its native type; a
// time stamp or jitter of another type (a loaded file holds whatever text its rows had) is
// kept whole in a side table of exceptions and read back as the same value.
//
// Per channel, a min/max summary at block sizes of 64, 1024, 16384 and 262144 rows lets a
// plot find the extremes of each pixel column by reading about as many summary entries as
// there are pixels, whatever the number of rows.
//
// Crash safety. Rows are written in place and become part of the store when they are
// committed: the header's row count is then raised. A process killed at any moment leaves
// every committed row readable (the files' pages belong to the system, not the process).
// At most every second a thread of the store syncs the files to the disk and records how
// many rows are durable; after a power cut, the rows past that count are checked one by one
// against a 32-bit check kept per row and the store ends before the first that fails, so at
// most about a second is lost and no row comes back half written.
//
// Errors raise zrv::AutomationError: 75 for a file that cannot be made, grown or opened
// (naming the file and the system's reason; a full disk or a file-size limit leaves every
// row before the failing one in place), 5 for a key smaller than the last or a channel out
// of range, 9 for a row out of range, 7 past 8 billion rows. Appends and reads run on one
// thread (the owner's); the store's sync thread touches only the files' disk state.

#include <QObject>
#include <QString>
#include <atomic>
#include <chrono>
#include <cstdint>
#include <limits>
#include <memory>
#include <span>
#include <vector>

#include "common/variant.h"
#include "mappedfile.h"

namespace zrvlog {

/// The extremes of a range of one channel, NaN values left out; both NaN when the range
/// holds no number.
struct MinMax {
  double min = std::numeric_limits<double>::quiet_NaN();
  double max = std::numeric_limits<double>::quiet_NaN();
  bool empty() const { return min != min; }
  void add(double v) {
    if (v != v) return;
    if (empty()) {
      min = max = v;
    } else {
      min = v < min ? v : min;
      max = v > max ? v : max;
    }
  }
  void add(const MinMax& other) {
    if (other.empty()) return;
    add(other.min);
    add(other.max);
  }
};

/// One sample as read back.
struct StoredSample {
  double key = 0;
  zrv::Variant stamp;
  zrv::Variant jitter;
  std::vector<double> values;
};

class SampleStore : public QObject {
  Q_OBJECT

 public:
  static constexpr std::size_t kMaxRows = std::size_t(1) << 33;
  static constexpr int kMaxChannels = 16;
  static constexpr std::size_t kSummaryLevels = 4;
  static constexpr std::size_t kSummaryBlocks[kSummaryLevels] = {64, 1024, 16384, 262144};

  struct Options {
    /// How often the sync thread makes committed rows durable; zero: only on sync() and
    /// when the store is closed.
    std::chrono::milliseconds syncInterval{1000};
    /// Keeps the columns in memory instead of files of the folder (which is then only a
    /// name): for a disk that refuses them. Nothing survives the process.
    bool inMemory = false;
    /// Syncs (and trims the files) when the store is closed; off for a store removed right
    /// after (a document's), whose writing to the disk would be wasted.
    bool syncOnClose = true;
  };

  /// Makes a new, empty store in folder (created, private, when missing; it must not hold
  /// a store already).
  static std::unique_ptr<SampleStore> create(const QString& folder, int channels, Options options);
  static std::unique_ptr<SampleStore> create(const QString& folder, int channels) {
    return create(folder, channels, Options{});
  }
  /// Opens the store in folder, such as one left by a killed process: it holds every row
  /// that was committed and is whole (see crash safety above). Only one process at a time
  /// may hold a store; another gets error 75.
  static std::unique_ptr<SampleStore> open(const QString& folder, Options options);
  static std::unique_ptr<SampleStore> open(const QString& folder) {
    return open(folder, Options{});
  }
  /// Removes the store's files from folder, and the folder when that leaves it empty.
  static bool remove(const QString& folder);
  /// Whether a process (this one included) holds the store in folder open.
  static bool inUse(const QString& folder);

  ~SampleStore() override;

  const QString& folder() const { return m_folder; }
  int channels() const { return m_channels; }
  /// Committed rows: what readers see.
  std::size_t rows() const { return m_rows; }
  /// Rows that a power cut would not lose.
  std::size_t durableRows() const;
  /// Bytes the store takes on the disk.
  std::size_t diskBytes() const;
  /// Committed rows that opening the store after a power cut found torn past the durable
  /// ones, and left out (with every row after them); kept in the store until it is cleared.
  std::size_t lostRows() const;
  /// The system's error number of the first sync that failed, 0 while none did: the rows
  /// committed since are not known to be on the disk.
  int syncError() const { return m_syncError.load(std::memory_order_relaxed); }

  /// Gives the folder (with every file in it) a new name, which must not be taken, on the
  /// same file system; spans and rows stay valid. Raises error 75 when it cannot (a store
  /// kept in memory has no folder to move).
  void moveTo(const QString& folder);
  /// Syncs every interval from now on, and when the store is closed; zero: neither.
  void setSyncInterval(std::chrono::milliseconds interval);

  // Appending. append() stages and commits one row; a loader stages many and commits once.
  // Keys never decrease (error 5 otherwise). values holds one double per channel.
  void append(double key, const zrv::Variant& stamp, const zrv::Variant& jitter,
              std::span<const double> values) {
    stage(key, stamp, jitter, values);
    commit();
  }
  void stage(double key, const zrv::Variant& stamp, const zrv::Variant& jitter,
             std::span<const double> values);
  /// Makes the staged rows part of the store and announces them with appended().
  void commit();
  /// Counts the clear() calls: rows a reader summed up before are void once it changes.
  std::uint64_t generation() const { return m_generation; }
  /// Rows staged and not yet committed.
  std::size_t stagedRows() const { return m_staged - m_rows; }
  /// Empties the store (rows staged or committed) and gives the disk space back. Spans
  /// taken before are void afterwards.
  void clear();
  /// Makes every committed row durable now; false when the disk refused.
  bool sync();
  /// Gives back the memory the committed rows' pages take: they stay in the files, and a
  /// read faults them in again. For a reader that went through many rows (a writer saving a
  /// long run); commit() does it every kDropEveryRows rows.
  void dropResident() const;
  static constexpr std::size_t kDropEveryRows = 262144;
  /// Brings the committed rows first to end back in one step, for a reader about to go
  /// through them all (after dropResident() they are otherwise faulted in a page at a time).
  void prefetch(std::size_t first, std::size_t end) const;

  // Reading committed rows. The spans stay valid while the store lives and is not cleared.
  double key(std::size_t row) const;
  zrv::Variant stamp(std::size_t row) const;
  zrv::Variant jitter(std::size_t row) const;
  double value(int channel, std::size_t row) const;
  StoredSample sample(std::size_t row) const;
  /// The rows first to end (exclusive) appended to out.
  void readRows(std::size_t first, std::size_t end, std::vector<StoredSample>& out) const;
  std::span<const double> keys() const { return {keyColumn(), m_rows}; }
  std::span<const double> values(int channel) const;
  /// The first row whose key is at least key (rows() when there is none).
  std::size_t lowerBound(double key) const;
  /// The same, searching outwards from hint: a few reads when hint is close, as a guess from
  /// evenly spaced keys is, where a search of the whole column would read a page per step.
  std::size_t lowerBound(double key, std::size_t hint) const;

  /// The exact extremes of channel over rows first to end.
  MinMax extremes(int channel, std::size_t first, std::size_t end) const;
  /// What a query read: summary entries and rows of the columns.
  struct QueryCost {
    std::size_t entries = 0;
    std::size_t rows = 0;
  };
  /// Splits rows first to end into columns.size() consecutive parts of about equal length
  /// and gives the extremes of each, as a plot needs one per pixel column. Every row falls
  /// into exactly one part; the inner borders are moved onto the block borders of the
  /// summary level used (by less than a part's width), so that the cost is about one
  /// summary entry per column and no extreme is lost. The whole range's extremes are exact.
  /// borders, when given, receives the columns' first rows and end.
  QueryCost summarize(int channel, std::size_t first, std::size_t end, std::span<MinMax> columns,
                      std::vector<std::size_t>* borders = nullptr) const;
  /// The same for columns whose borders the caller gives (columns.size() + 1 ascending rows,
  /// such as the rows where each pixel column's keys begin). The inner borders are moved onto
  /// the block grid of the level that suits the columns' mean width, and written back.
  QueryCost summarize(int channel, std::vector<std::size_t>& borders,
                      std::span<MinMax> columns) const;

 signals:
  /// Rows first to end (exclusive) were committed.
  void appended(qint64 first, qint64 end);
  /// The store was emptied.
  void cleared();

 private:
  class Syncer;
  struct Header;
  struct ExceptionEntry;
  enum Column : uint32_t { kStampColumn = 0, kJitterColumn = 1 };

  SampleStore(const QString& folder, int channels, Options options);
  void openFiles(bool create);
  void recover();
  void rebuildSummaries(std::size_t fromRow);
  void finishBlocks(std::size_t row);
  void writeSummary(std::size_t level, std::size_t block);
  void publishCounts();
  bool syncLocked();
  void dropResident(std::size_t rows, std::size_t exceptions, std::size_t exceptionBytes) const;
  void checkRow(std::size_t row) const;
  void checkChannel(int channel) const;
  void addException(std::size_t row, Column column, const zrv::Variant& value);
  zrv::Variant exceptionValue(std::size_t row, Column column) const;
  const ExceptionEntry* findException(std::size_t row, Column column) const;
  uint32_t rowCheck(std::size_t row) const;
  QueryCost extremesInto(int channel, std::size_t first, std::size_t end, MinMax& out) const;

  Header* header() const { return reinterpret_cast<Header*>(m_header.data()); }
  double* keyColumn() const { return reinterpret_cast<double*>(m_key.data()); }
  double* stampColumn() const { return reinterpret_cast<double*>(m_stamp.data()); }
  int32_t* jitterColumn() const { return reinterpret_cast<int32_t*>(m_jitter.data()); }
  uint32_t* checkColumn() const { return reinterpret_cast<uint32_t*>(m_check.data()); }
  double* channelColumn(int channel) const {
    return reinterpret_cast<double*>(m_values[std::size_t(channel)]->data());
  }
  MinMax* summaryLevel(std::size_t level) const {
    return reinterpret_cast<MinMax*>(m_summary[level].data());
  }
  ExceptionEntry* exceptionIndex() const;
  std::vector<MappedFile*> dataFiles();

  QString m_folder;
  int m_channels = 0;
  Options m_options;
  std::size_t m_rows = 0;            // committed
  std::size_t m_staged = 0;          // written, committed or not
  std::size_t m_exceptions = 0;      // entries written, committed or not
  std::size_t m_exceptionBytes = 0;  // payload bytes written
  std::size_t m_committedExceptions = 0, m_committedExceptionBytes = 0;
  double m_lastKey = -std::numeric_limits<double>::infinity();
  MappedFile m_header, m_key, m_stamp, m_jitter, m_check, m_exceptionIndex, m_exceptionData;
  std::vector<std::unique_ptr<MappedFile>> m_values;
  MappedFile m_summary[kSummaryLevels];
  std::unique_ptr<Syncer> m_syncer;
  bool m_opened = false;  // created or opened whole
  std::uint64_t m_generation = 0;
  std::size_t m_droppedAt = 0;  // rows when commit() last dropped the resident pages
  std::atomic<int> m_syncError{0};
};

}  // namespace zrvlog
