#include "samplestore.h"

#include <fcntl.h>
#include <stdio.h>
#include <sys/file.h>
#include <sys/stat.h>

#include <QDir>
#include <QFile>
#include <QFileInfo>
#include <algorithm>
#include <atomic>
#include <bit>
#include <condition_variable>
#include <cstring>
#include <mutex>
#include <thread>

#include "common/automationerror.h"

namespace zrvlog {

using zrv::AutomationError;
using zrv::Variant;
using zrv::VarType;
namespace err = zrv::err;

// The header file: counts that make rows part of the store. Rows are written first and
// counted after, so that a count never names a row that is not there. The durable counts
// are the ones last synced to the disk with the rows they count.
struct SampleStore::Header {
  char magic[8];
  uint32_t version;
  uint32_t channels;
  uint64_t rows;
  uint64_t exceptions;
  uint64_t exceptionBytes;
  uint64_t durableRows;
  uint64_t durableExceptions;
  uint64_t durableExceptionBytes;
  uint64_t lostRows;  // committed rows that reopening after a power cut found torn
};

// A time stamp or jitter that its column cannot hold: where its value's bytes are in the
// exception data, and a check over all of it so that a torn entry is recognised.
struct SampleStore::ExceptionEntry {
  uint64_t row;
  uint32_t column;
  uint32_t type;
  uint64_t offset;
  uint32_t length;
  uint32_t check;
};

namespace {

constexpr char kMagic[8] = {'Z', 'R', 'V', 'S', 'T', 'O', 'R', 'E'};
constexpr uint32_t kVersion = 1;
constexpr std::size_t kHeaderBytes = 4096;
constexpr std::size_t kMaxExceptions = std::size_t(1) << 30;
constexpr std::size_t kMaxExceptionBytes = std::size_t(1) << 36;
// A NaN that no clock gives: the time stamp of this row is in the exception table.
constexpr uint64_t kStampException = 0x7FF4'5A52'5645'5843ull;
constexpr int32_t kJitterException = std::numeric_limits<int32_t>::min();

template <typename T>
std::atomic_ref<T> shared(T& field) {
  return std::atomic_ref<T>(field);
}

// A 64-bit multiply-xor mix: fast enough per row, and a zeroed or stale row (whose row
// number differs) fails it but for one chance in four billion.
class Check {
 public:
  explicit Check(uint64_t seed) : m_h(0x9E3779B97F4A7C15ull ^ (seed * 0xD6E8FEB86659FD93ull)) {}
  void add(uint64_t word) {
    m_h = (m_h ^ word) * 0xFF51AFD7ED558CCDull;
    m_h ^= m_h >> 32;
  }
  void add(double value) { add(std::bit_cast<uint64_t>(value)); }
  void addBytes(const std::byte* bytes, std::size_t length) {
    uint64_t word = 0;
    for (std::size_t i = 0; i < length; ++i) {
      word = (word << 8) | uint64_t(bytes[i]);
      if (i % 8 == 7) add(std::exchange(word, 0));
    }
    add(word ^ length);
  }
  uint32_t value() const { return uint32_t(m_h ^ (m_h >> 29)); }

 private:
  uint64_t m_h;
};

// The bytes that keep a variant of any type whole.
std::vector<std::byte> encode(const Variant& v) {
  std::vector<std::byte> out;
  const auto put = [&out](const auto& value) {
    const auto* p = reinterpret_cast<const std::byte*>(&value);
    out.insert(out.end(), p, p + sizeof(value));
  };
  switch (v.type()) {
    case VarType::Integer:
      put(v.integerValue());
      break;
    case VarType::Long:
      put(v.longValue());
      break;
    case VarType::Double:
      put(v.doubleValue());
      break;
    case VarType::Date:
      put(v.dateValue());
      break;
    case VarType::Boolean:
      put(uint8_t(v.boolValue()));
      break;
    case VarType::String: {
      const QString& text = v.textValue();
      const auto* p = reinterpret_cast<const std::byte*>(text.utf16());
      out.assign(p, p + text.size() * sizeof(char16_t));
      break;
    }
    case VarType::Empty:
    case VarType::Missing:
      break;
  }
  return out;
}

Variant decode(VarType type, const std::byte* p, std::size_t length) {
  const auto get = [p]<typename T>(T value) {
    std::memcpy(&value, p, sizeof(value));
    return value;
  };
  switch (type) {
    case VarType::Integer:
      return get(int16_t{});
    case VarType::Long:
      return get(int32_t{});
    case VarType::Double:
      return get(double{});
    case VarType::Date:
      return Variant::date(get(double{}));
    case VarType::Boolean:
      return bool(get(uint8_t{}));
    case VarType::String: {
      // Copied as bytes: after a boolean's single byte the text need not be aligned.
      QString text(qsizetype(length / sizeof(char16_t)), Qt::Uninitialized);
      if (!text.isEmpty()) std::memcpy(text.data(), p, std::size_t(text.size()) * sizeof(QChar));
      return text;
    }
    case VarType::Missing:
      return Variant::missing();
    case VarType::Empty:
      break;
  }
  return Variant();
}

std::size_t encodedLength(VarType type) {
  switch (type) {
    case VarType::Integer:
      return 2;
    case VarType::Long:
      return 4;
    case VarType::Double:
    case VarType::Date:
      return 8;
    case VarType::Boolean:
      return 1;
    default:
      return 0;
  }
}

QString fileName(const QString& folder, const QString& name) {
  return folder + QLatin1Char('/') + name;
}

// Plain characters, nothing to destroy: a store removed by a document that lives until the
// program's exit handlers run must still find these.
constexpr const char* kFixedFileNames[] = {
    "header",         "key.f64",     "stamp.f64",   "jitter.i32",  "check.u32",  "exceptions.idx",
    "exceptions.dat", "summary0.mm", "summary1.mm", "summary2.mm", "summary3.mm"};

QString channelFileName(int channel) {
  return QStringLiteral("channel%1.f64").arg(channel);
}

}  // namespace

// Makes committed rows durable at most every syncInterval, away from the owner's thread: a
// sync can wait long on a busy disk, and appends must not.
class SampleStore::Syncer {
 public:
  Syncer(SampleStore& store, std::chrono::milliseconds interval) : m_store(store) {
    if (interval.count() > 0) m_thread = std::thread([this, interval] { run(interval); });
  }
  ~Syncer() {
    {
      std::lock_guard lock(mutex);
      m_stop = true;
    }
    m_wake.notify_all();
    if (m_thread.joinable()) m_thread.join();
  }
  std::mutex mutex;  // held for a sync, and by the owner while it empties the files

 private:
  void run(std::chrono::milliseconds interval) {
    std::unique_lock lock(mutex);
    while (!m_wake.wait_for(lock, interval, [this] { return m_stop; }))
      m_store.syncLocked();
  }
  SampleStore& m_store;
  std::condition_variable m_wake;
  bool m_stop = false;
  std::thread m_thread;
};

SampleStore::SampleStore(const QString& folder, int channels, Options options)
    : m_folder(folder), m_channels(channels), m_options(options) {}

SampleStore::~SampleStore() {
  m_syncer.reset();
  // A store that failed to open touches nothing: its header may be another process's.
  if (!m_opened) return;
  if (!m_options.syncOnClose) return;  // removed right after: nothing to keep
  syncLocked();
  // The room kept ahead for appends goes back to the disk; open() grows the files again.
  try {
    m_key.shrink(m_rows * sizeof(double));
    m_stamp.shrink(m_rows * sizeof(double));
    m_jitter.shrink(m_rows * sizeof(int32_t));
    m_check.shrink(m_rows * sizeof(uint32_t));
    for (auto& column : m_values)
      column->shrink(m_rows * sizeof(double));
    for (std::size_t level = 0; level < kSummaryLevels; ++level)
      m_summary[level].shrink(m_rows / kSummaryBlocks[level] * std::size_t(m_channels) *
                              sizeof(MinMax));
    m_exceptionIndex.shrink(m_exceptions * sizeof(ExceptionEntry));
    m_exceptionData.shrink(m_exceptionBytes);
  } catch (const AutomationError&) {
    // A file that keeps its room is still a whole store.
  }
}

std::unique_ptr<SampleStore> SampleStore::create(const QString& folder, int channels,
                                                 Options options) {
  if (channels < 1 || channels > kMaxChannels)
    throw AutomationError(
        err::kInvalidArgument,
        QStringLiteral("a store holds 1 to %1 channels, not %2").arg(kMaxChannels).arg(channels));
  if (!options.inMemory && !QDir(folder).exists()) {
    if (!QDir().mkpath(folder))
      throw AutomationError(err::kPathFileAccessError,
                            QStringLiteral("Cannot create the folder %1").arg(folder));
    QFile::setPermissions(folder, QFile::ReadOwner | QFile::WriteOwner | QFile::ExeOwner);
  }
  std::unique_ptr<SampleStore> store(new SampleStore(folder, channels, options));
  store->openFiles(true);
  Header* h = store->header();
  std::memcpy(h->magic, kMagic, sizeof(kMagic));
  h->version = kVersion;
  h->channels = uint32_t(channels);
  store->m_header.sync();
  store->m_syncer = std::make_unique<Syncer>(*store, options.syncInterval);
  store->m_opened = true;
  return store;
}

std::unique_ptr<SampleStore> SampleStore::open(const QString& folder, Options options) {
  // The channel count comes from the header, which openFiles checks.
  std::unique_ptr<SampleStore> store(new SampleStore(folder, 0, options));
  store->openFiles(false);
  store->recover();
  store->m_syncer = std::make_unique<Syncer>(*store, options.syncInterval);
  store->m_opened = true;
  return store;
}

bool SampleStore::inUse(const QString& folder) {
  const int fd = ::open(QFile::encodeName(fileName(folder, QStringLiteral("header"))).constData(),
                        O_RDONLY | O_NOFOLLOW | O_NONBLOCK | O_CLOEXEC);
  if (fd < 0) return false;
  // The owner holds this lock as long as the store is open (see openFiles).
  const bool held = ::flock(fd, LOCK_SH | LOCK_NB) != 0 && errno == EWOULDBLOCK;
  ::close(fd);
  return held;
}

void SampleStore::moveTo(const QString& folder) {
  if (m_options.inMemory)
    throw AutomationError(
        err::kPathFileAccessError,
        QStringLiteral("The samples are kept in memory and cannot be moved to %1").arg(folder));
  // Never onto a folder that is there: its files would be another store's.
  const QByteArray from = QFile::encodeName(m_folder), to = QFile::encodeName(folder);
  int moved = ::renameat2(AT_FDCWD, from.constData(), AT_FDCWD, to.constData(), RENAME_NOREPLACE);
  if (moved != 0 && errno == EINVAL) {
    // A file system without that flag: the name is checked first instead.
    struct stat st {};
    if (::lstat(to.constData(), &st) == 0)
      errno = EEXIST;
    else
      moved = ::rename(from.constData(), to.constData());
  }
  if (moved != 0)
    throw AutomationError(err::kPathFileAccessError,
                          QStringLiteral("Cannot move %1 to %2: %3")
                              .arg(m_folder, folder, QString::fromLocal8Bit(std::strerror(errno))));
  // The files keep their descriptors and mappings; only the names in messages change.
  m_header.rename(fileName(folder, QFileInfo(m_header.path()).fileName()));
  for (MappedFile* file : dataFiles())
    file->rename(fileName(folder, QFileInfo(file->path()).fileName()));
  m_folder = folder;
}

void SampleStore::setSyncInterval(std::chrono::milliseconds interval) {
  m_syncer.reset();
  m_options.syncInterval = interval;
  m_options.syncOnClose = interval.count() > 0;
  m_syncer = std::make_unique<Syncer>(*this, interval);
}

bool SampleStore::remove(const QString& folder) {
  QDir dir(folder);
  bool ok = true;
  QStringList names;
  for (const char* name : kFixedFileNames)
    names << QString::fromLatin1(name);
  for (int c = 0; c < kMaxChannels; ++c)
    names << channelFileName(c);
  for (const QString& name : names)
    if (dir.exists(name)) ok = dir.remove(name) && ok;
  if (dir.exists() && dir.isEmpty()) ok = QDir().rmdir(folder) && ok;
  return ok;
}

void SampleStore::openFiles(bool create) {
  const auto openFile = [&](MappedFile& file, const QString& name, std::size_t maxBytes) {
    if (m_options.inMemory)
      file.openInMemory(fileName(m_folder, name), maxBytes);
    else
      file.open(fileName(m_folder, name), maxBytes, create);
  };
  openFile(m_header, QStringLiteral("header"), kHeaderBytes);
  // One process at a time: two writers would interleave their rows.
  if (!m_options.inMemory && ::flock(m_header.fd(), LOCK_EX | LOCK_NB) != 0)
    throw AutomationError(
        err::kPathFileAccessError,
        QStringLiteral("The store in %1 is in use by another process").arg(m_folder));
  m_header.reserve(kHeaderBytes);
  if (!create) {
    const Header* h = header();
    if (std::memcmp(h->magic, kMagic, sizeof(kMagic)) != 0 || h->version != kVersion ||
        h->channels < 1 || h->channels > uint32_t(kMaxChannels))
      throw AutomationError(
          err::kPathFileAccessError,
          QStringLiteral("%1 holds no sample store this program can read").arg(m_folder));
    m_channels = int(h->channels);
  }
  const auto openColumn = [&](MappedFile& file, const QString& name, std::size_t width) {
    openFile(file, name, kMaxRows * width);
  };
  openColumn(m_key, QStringLiteral("key.f64"), sizeof(double));
  openColumn(m_stamp, QStringLiteral("stamp.f64"), sizeof(double));
  openColumn(m_jitter, QStringLiteral("jitter.i32"), sizeof(int32_t));
  openColumn(m_check, QStringLiteral("check.u32"), sizeof(uint32_t));
  for (int c = 0; c < m_channels; ++c) {
    m_values.push_back(std::make_unique<MappedFile>());
    openColumn(*m_values.back(), channelFileName(c), sizeof(double));
  }
  for (std::size_t level = 0; level < kSummaryLevels; ++level)
    openFile(m_summary[level], QStringLiteral("summary%1.mm").arg(level),
             kMaxRows / kSummaryBlocks[level] * std::size_t(kMaxChannels) * sizeof(MinMax));
  openFile(m_exceptionIndex, QStringLiteral("exceptions.idx"),
           kMaxExceptions * sizeof(ExceptionEntry));
  openFile(m_exceptionData, QStringLiteral("exceptions.dat"), kMaxExceptionBytes);
}

SampleStore::ExceptionEntry* SampleStore::exceptionIndex() const {
  return reinterpret_cast<ExceptionEntry*>(m_exceptionIndex.data());
}

std::vector<MappedFile*> SampleStore::dataFiles() {
  std::vector<MappedFile*> files = {&m_key,   &m_stamp,          &m_jitter,
                                    &m_check, &m_exceptionIndex, &m_exceptionData};
  for (auto& file : m_values)
    files.push_back(file.get());
  for (MappedFile& file : m_summary)
    files.push_back(&file);
  return files;
}

// After a crash: the counts of the header, cut back to what the files hold, and the rows and
// exceptions past the durable counts checked one by one.
void SampleStore::recover() {
  Header* h = header();
  std::size_t rows = h->rows;
  for (MappedFile* column : {&m_key, &m_stamp, &m_check})
    rows = std::min(rows, column->size() / (column == &m_check ? 4 : 8));
  rows = std::min(rows, m_jitter.size() / sizeof(int32_t));
  for (int c = 0; c < m_channels; ++c)
    rows = std::min(rows, m_values[std::size_t(c)]->size() / sizeof(double));
  std::size_t durable = std::min<std::size_t>(h->durableRows, rows);

  // Exception entries: in row order, each whole, each within the data.
  std::size_t count =
      std::min<std::size_t>(h->exceptions, m_exceptionIndex.size() / sizeof(ExceptionEntry));
  std::size_t checkedFrom = std::min<std::size_t>(h->durableExceptions, count);
  const ExceptionEntry* index = exceptionIndex();
  std::size_t bytes = 0;
  for (std::size_t i = 0; i < count; ++i) {
    const ExceptionEntry& e = index[i];
    const bool ordered =
        i == 0 || std::pair(index[i - 1].row, index[i - 1].column) < std::pair(e.row, e.column);
    bool whole = ordered && e.offset == bytes && e.length <= m_exceptionData.size() &&
                 e.offset <= m_exceptionData.size() - e.length && e.column <= kJitterColumn &&
                 e.type <= uint32_t(VarType::Missing);
    if (whole && i >= checkedFrom) {
      Check check(e.row);
      check.add(uint64_t(e.column) << 32 | e.type);
      check.add(e.offset);
      check.addBytes(m_exceptionData.data() + e.offset, e.length);
      whole = check.value() == e.check;
    }
    if (!whole) {
      count = i;
      break;
    }
    bytes = e.offset + e.length;
  }
  m_exceptions = count;

  // Rows: each must pass its check, and an exception it points to must be there.
  for (std::size_t row = durable; row < rows; ++row) {
    const bool whole =
        checkColumn()[row] == rowCheck(row) &&
        (std::bit_cast<uint64_t>(stampColumn()[row]) != kStampException ||
         findException(row, kStampColumn)) &&
        (jitterColumn()[row] != kJitterException || findException(row, kJitterColumn));
    if (!whole) {
      rows = row;
      break;
    }
  }
  // Exceptions of rows that did not survive go with them.
  while (m_exceptions > 0 && index[m_exceptions - 1].row >= rows)
    --m_exceptions;
  m_exceptionBytes =
      m_exceptions == 0 ? 0 : index[m_exceptions - 1].offset + index[m_exceptions - 1].length;
  // Kept with the store: whoever opens it next still learns what the power cut cost.
  if (std::size_t(h->rows) > rows) shared(h->lostRows).fetch_add(h->rows - rows);
  m_rows = m_staged = rows;
  durable = std::min(durable, rows);
  m_lastKey = rows == 0 ? -std::numeric_limits<double>::infinity() : keyColumn()[rows - 1];
  rebuildSummaries(durable);
  shared(h->durableRows).store(std::min<uint64_t>(h->durableRows, durable));
  shared(h->durableExceptions).store(std::min<uint64_t>(h->durableExceptions, m_exceptions));
  shared(h->durableExceptionBytes)
      .store(std::min<uint64_t>(h->durableExceptionBytes, m_exceptionBytes));
  publishCounts();
  syncLocked();
}

std::size_t SampleStore::durableRows() const {
  return std::size_t(shared(header()->durableRows).load(std::memory_order_acquire));
}

std::size_t SampleStore::lostRows() const {
  return std::size_t(shared(header()->lostRows).load(std::memory_order_relaxed));
}

std::size_t SampleStore::diskBytes() const {
  if (m_options.inMemory) return 0;
  std::size_t total = 0;
  for (MappedFile* file : const_cast<SampleStore*>(this)->dataFiles()) {
    struct stat st {};
    if (::fstat(file->fd(), &st) == 0) total += std::size_t(st.st_blocks) * 512;
  }
  return total + kHeaderBytes;
}

uint32_t SampleStore::rowCheck(std::size_t row) const {
  Check check(row);
  check.add(keyColumn()[row]);
  check.add(stampColumn()[row]);
  check.add(uint64_t(uint32_t(jitterColumn()[row])));
  for (int c = 0; c < m_channels; ++c)
    check.add(channelColumn(c)[row]);
  return check.value();
}

void SampleStore::stage(double key, const Variant& stamp, const Variant& jitter,
                        std::span<const double> values) {
  if (values.size() != std::size_t(m_channels))
    throw AutomationError(err::kInvalidArgument,
                          QStringLiteral("a sample of this store has %1 channel values, not %2")
                              .arg(m_channels)
                              .arg(values.size()));
  if (!(key >= m_lastKey))
    throw AutomationError(
        err::kInvalidArgument,
        QStringLiteral("sample key %1 after %2: keys never decrease").arg(key).arg(m_lastKey));
  const std::size_t row = m_staged;
  if (row >= kMaxRows)
    throw AutomationError(err::kOutOfMemory,
                          QStringLiteral("the store in %1 is full").arg(m_folder));
  // Room first, everywhere this row goes: a full disk then leaves nothing half written.
  m_key.reserve((row + 1) * sizeof(double));
  m_stamp.reserve((row + 1) * sizeof(double));
  m_jitter.reserve((row + 1) * sizeof(int32_t));
  m_check.reserve((row + 1) * sizeof(uint32_t));
  for (auto& column : m_values)
    column->reserve((row + 1) * sizeof(double));
  for (std::size_t level = 0; level < kSummaryLevels; ++level)
    if ((row + 1) % kSummaryBlocks[level] == 0)
      m_summary[level].reserve((row / kSummaryBlocks[level] + 1) * std::size_t(m_channels) *
                               sizeof(MinMax));

  const bool nativeStamp = stamp.type() == VarType::Date &&
                           std::bit_cast<uint64_t>(stamp.dateValue()) != kStampException;
  const bool nativeJitter =
      jitter.type() == VarType::Long && jitter.longValue() != kJitterException;
  const std::size_t exceptions = m_exceptions, exceptionBytes = m_exceptionBytes;
  try {
    if (!nativeStamp) addException(row, kStampColumn, stamp);
    if (!nativeJitter) addException(row, kJitterColumn, jitter);
  } catch (...) {
    m_exceptions = exceptions;
    m_exceptionBytes = exceptionBytes;
    throw;
  }
  keyColumn()[row] = key;
  stampColumn()[row] = nativeStamp ? stamp.dateValue() : std::bit_cast<double>(kStampException);
  jitterColumn()[row] = nativeJitter ? jitter.longValue() : kJitterException;
  for (int c = 0; c < m_channels; ++c)
    channelColumn(c)[row] = values[std::size_t(c)];
  checkColumn()[row] = rowCheck(row);
  m_staged = row + 1;
  m_lastKey = key;
  finishBlocks(row);
}

void SampleStore::addException(std::size_t row, Column column, const Variant& value) {
  const std::vector<std::byte> bytes = encode(value);
  m_exceptionIndex.reserve((m_exceptions + 1) * sizeof(ExceptionEntry));
  m_exceptionData.reserve(m_exceptionBytes + bytes.size());
  if (!bytes.empty())
    std::memcpy(m_exceptionData.data() + m_exceptionBytes, bytes.data(), bytes.size());
  ExceptionEntry& e = exceptionIndex()[m_exceptions];
  e.row = row;
  e.column = column;
  e.type = uint32_t(value.type());
  e.offset = m_exceptionBytes;
  e.length = uint32_t(bytes.size());
  Check check(e.row);
  check.add(uint64_t(e.column) << 32 | e.type);
  check.add(e.offset);
  check.addBytes(m_exceptionData.data() + e.offset, e.length);
  e.check = check.value();
  ++m_exceptions;
  m_exceptionBytes += bytes.size();
}

const SampleStore::ExceptionEntry* SampleStore::findException(std::size_t row,
                                                              Column column) const {
  const ExceptionEntry* begin = exceptionIndex();
  const ExceptionEntry* end = begin + m_exceptions;
  const ExceptionEntry* it =
      std::lower_bound(begin, end, std::pair<uint64_t, uint32_t>(row, column),
                       [](const ExceptionEntry& e, const std::pair<uint64_t, uint32_t>& k) {
                         return std::pair(e.row, e.column) < k;
                       });
  return it != end && it->row == row && it->column == column ? it : nullptr;
}

Variant SampleStore::exceptionValue(std::size_t row, Column column) const {
  const ExceptionEntry* e = findException(row, column);
  if (!e) return Variant();  // cannot happen for a committed row: recover() checked it
  const VarType type = VarType(e->type);
  const std::byte* p = m_exceptionData.data() + e->offset;
  if (type != VarType::String && e->length < encodedLength(type)) return Variant();
  return decode(type, p, e->length);
}

void SampleStore::finishBlocks(std::size_t row) {
  for (std::size_t level = 0; level < kSummaryLevels; ++level) {
    if ((row + 1) % kSummaryBlocks[level] != 0) break;
    writeSummary(level, row / kSummaryBlocks[level]);
  }
}

void SampleStore::writeSummary(std::size_t level, std::size_t block) {
  const std::size_t channels = std::size_t(m_channels);
  MinMax* out = summaryLevel(level) + block * channels;
  if (level == 0) {
    const std::size_t first = block * kSummaryBlocks[0];
    for (std::size_t c = 0; c < channels; ++c) {
      MinMax m;
      const double* v = channelColumn(int(c)) + first;
      for (std::size_t i = 0; i < kSummaryBlocks[0]; ++i)
        m.add(v[i]);
      out[c] = m;
    }
    return;
  }
  const std::size_t ratio = kSummaryBlocks[level] / kSummaryBlocks[level - 1];
  const MinMax* in = summaryLevel(level - 1) + block * ratio * channels;
  for (std::size_t c = 0; c < channels; ++c) {
    MinMax m;
    for (std::size_t i = 0; i < ratio; ++i)
      m.add(in[i * channels + c]);
    out[c] = m;
  }
}

void SampleStore::rebuildSummaries(std::size_t fromRow) {
  for (std::size_t level = 0; level < kSummaryLevels; ++level) {
    const std::size_t size = kSummaryBlocks[level];
    const std::size_t blocks = m_rows / size;
    m_summary[level].reserve(blocks * std::size_t(m_channels) * sizeof(MinMax));
    for (std::size_t block = fromRow / size; block < blocks; ++block)
      writeSummary(level, block);
  }
}

void SampleStore::publishCounts() {
  Header* h = header();
  shared(h->exceptionBytes).store(m_exceptionBytes, std::memory_order_release);
  shared(h->exceptions).store(m_exceptions, std::memory_order_release);
  shared(h->rows).store(m_rows, std::memory_order_release);
}

void SampleStore::commit() {
  if (m_staged == m_rows) return;
  const std::size_t first = m_rows;
  m_rows = m_staged;
  m_committedExceptions = m_exceptions;
  m_committedExceptionBytes = m_exceptionBytes;
  publishCounts();
  // A store nobody syncs (or one filled faster than it syncs) still keeps only the recent
  // rows resident: the older pages live in the files.
  if (m_rows - m_droppedAt >= kDropEveryRows) {
    dropResident();
    m_droppedAt = m_rows;
  }
  emit appended(qint64(first), qint64(m_rows));
}

void SampleStore::clear() {
  {
    std::lock_guard lock(m_syncer->mutex);
    m_rows = m_staged = m_exceptions = m_exceptionBytes = 0;
    m_committedExceptions = m_committedExceptionBytes = 0;
    m_lastKey = -std::numeric_limits<double>::infinity();
    m_droppedAt = 0;
    ++m_generation;
    Header* h = header();
    shared(h->durableRows).store(0);
    shared(h->durableExceptions).store(0);
    shared(h->durableExceptionBytes).store(0);
    shared(h->lostRows).store(0);
    publishCounts();
    m_header.sync();
    for (MappedFile* file : dataFiles())
      file->truncate();
  }
  emit cleared();
}

bool SampleStore::sync() {
  std::lock_guard lock(m_syncer->mutex);
  return syncLocked();
}

bool SampleStore::syncLocked() {
  Header* h = header();
  const uint64_t rows = shared(h->rows).load(std::memory_order_acquire);
  const uint64_t exceptions = shared(h->exceptions).load(std::memory_order_acquire);
  const uint64_t bytes = shared(h->exceptionBytes).load(std::memory_order_acquire);
  if (rows == shared(h->durableRows).load() && exceptions == shared(h->durableExceptions).load())
    return true;
  bool ok = true;
  for (MappedFile* file : dataFiles()) {
    if (file->sync()) continue;
    ok = false;
    int expected = 0;
    m_syncError.compare_exchange_strong(expected, errno != 0 ? errno : EIO);
  }
  if (!ok) return false;
  shared(h->durableExceptionBytes).store(bytes);
  shared(h->durableExceptions).store(exceptions);
  shared(h->durableRows).store(rows);
  if (!m_header.sync()) {
    int expected = 0;
    m_syncError.compare_exchange_strong(expected, errno != 0 ? errno : EIO);
    return false;
  }
  // What is on the disk need not stay resident: a week-long run would otherwise keep it all.
  dropResident(rows, exceptions, bytes);
  return true;
}

void SampleStore::dropResident() const {
  dropResident(m_rows, m_committedExceptions, m_committedExceptionBytes);
}

void SampleStore::dropResident(std::size_t rows, std::size_t exceptions,
                               std::size_t exceptionBytes) const {
  // The summaries stay: a plot reads them on every redraw.
  m_key.dropResident(rows * sizeof(double));
  m_stamp.dropResident(rows * sizeof(double));
  m_jitter.dropResident(rows * sizeof(int32_t));
  m_check.dropResident(rows * sizeof(uint32_t));
  for (auto& column : m_values)
    column->dropResident(rows * sizeof(double));
  m_exceptionIndex.dropResident(exceptions * sizeof(ExceptionEntry));
  m_exceptionData.dropResident(exceptionBytes);
}

void SampleStore::prefetch(std::size_t first, std::size_t end) const {
  end = std::min(end, m_rows);
  if (first >= end) return;
  m_key.prefetch(first * sizeof(double), end * sizeof(double));
  m_stamp.prefetch(first * sizeof(double), end * sizeof(double));
  m_jitter.prefetch(first * sizeof(int32_t), end * sizeof(int32_t));
  for (auto& column : m_values)
    column->prefetch(first * sizeof(double), end * sizeof(double));
}

void SampleStore::checkRow(std::size_t row) const {
  if (row >= m_rows)
    throw AutomationError(err::kSubscriptOutOfRange,
                          QStringLiteral("sample %1 of %2").arg(row).arg(m_rows));
}

void SampleStore::checkChannel(int channel) const {
  if (channel < 0 || channel >= m_channels)
    throw AutomationError(
        err::kInvalidArgument,
        QStringLiteral("channel %1 of a store with %2 channels").arg(channel).arg(m_channels));
}

double SampleStore::key(std::size_t row) const {
  checkRow(row);
  return keyColumn()[row];
}

Variant SampleStore::stamp(std::size_t row) const {
  checkRow(row);
  const double days = stampColumn()[row];
  if (std::bit_cast<uint64_t>(days) == kStampException) return exceptionValue(row, kStampColumn);
  return Variant::date(days);
}

Variant SampleStore::jitter(std::size_t row) const {
  checkRow(row);
  const int32_t ms = jitterColumn()[row];
  if (ms == kJitterException) return exceptionValue(row, kJitterColumn);
  return Variant(ms);
}

double SampleStore::value(int channel, std::size_t row) const {
  checkChannel(channel);
  checkRow(row);
  return channelColumn(channel)[row];
}

StoredSample SampleStore::sample(std::size_t row) const {
  StoredSample s{key(row), stamp(row), jitter(row), {}};
  s.values.reserve(std::size_t(m_channels));
  for (int c = 0; c < m_channels; ++c)
    s.values.push_back(channelColumn(c)[row]);
  return s;
}

void SampleStore::readRows(std::size_t first, std::size_t end,
                           std::vector<StoredSample>& out) const {
  if (first > end || end > m_rows)
    throw AutomationError(err::kSubscriptOutOfRange,
                          QStringLiteral("samples %1 to %2 of %3").arg(first).arg(end).arg(m_rows));
  out.reserve(out.size() + (end - first));
  for (std::size_t row = first; row < end; ++row)
    out.push_back(sample(row));
}

std::span<const double> SampleStore::values(int channel) const {
  checkChannel(channel);
  return {channelColumn(channel), m_rows};
}

std::size_t SampleStore::lowerBound(double key) const {
  const std::span<const double> k = keys();
  return std::size_t(std::lower_bound(k.begin(), k.end(), key) - k.begin());
}

std::size_t SampleStore::lowerBound(double key, std::size_t hint) const {
  const double* k = keyColumn();
  std::size_t lo = 0, hi = m_rows;  // the answer lies in [lo, hi]
  hint = std::min(hint, m_rows);
  // Gallop from the hint until the answer is bracketed, then bisect the bracket.
  std::size_t step = 1;
  if (hint < m_rows && k[hint] < key) {
    lo = hint + 1;
    while (lo < m_rows && k[std::min(m_rows - 1, lo + step - 1)] < key) {
      lo = std::min(m_rows, lo + step);
      step *= 2;
    }
    hi = std::min(m_rows, lo + step);
  } else {
    hi = hint;
    while (hi > 0 && k[hi - (std::min(step, hi))] >= key) {
      hi -= std::min(step, hi);
      step *= 2;
    }
    lo = hi - std::min(step, hi);
  }
  return std::size_t(std::lower_bound(k + lo, k + hi, key) - k);
}

MinMax SampleStore::extremes(int channel, std::size_t first, std::size_t end) const {
  checkChannel(channel);
  if (first > end || end > m_rows)
    throw AutomationError(err::kSubscriptOutOfRange,
                          QStringLiteral("samples %1 to %2 of %3").arg(first).arg(end).arg(m_rows));
  MinMax m;
  extremesInto(channel, first, end, m);
  return m;
}

// The range splits into whole blocks of the coarsest level that fit and, at each side, what
// is left over, taken from the next finer level and last from the rows themselves: at most
// about 2 x 16 reads per level.
SampleStore::QueryCost SampleStore::extremesInto(int channel, std::size_t first, std::size_t end,
                                                 MinMax& out) const {
  QueryCost cost;
  const double* v = channelColumn(channel);
  const std::size_t channels = std::size_t(m_channels);
  const auto raw = [&](std::size_t a, std::size_t b) {
    for (std::size_t i = a; i < b; ++i)
      out.add(v[i]);
    cost.rows += b - a;
  };
  const auto entries = [&](std::size_t level, std::size_t a, std::size_t b) {
    const MinMax* s = summaryLevel(level);
    for (std::size_t i = a; i < b; ++i)
      out.add(s[i * channels + std::size_t(channel)]);
    cost.entries += b - a;
  };
  const auto up = [](std::size_t x, std::size_t b) { return (x + b - 1) / b * b; };
  const auto down = [](std::size_t x, std::size_t b) { return x / b * b; };
  std::size_t lo = first, hi = end;
  if (up(lo, kSummaryBlocks[0]) >= down(hi, kSummaryBlocks[0])) {
    raw(lo, hi);
    return cost;
  }
  raw(lo, up(lo, kSummaryBlocks[0]));
  raw(down(hi, kSummaryBlocks[0]), hi);
  lo = up(lo, kSummaryBlocks[0]);
  hi = down(hi, kSummaryBlocks[0]);
  for (std::size_t level = 0; level < kSummaryLevels; ++level) {
    const std::size_t size = kSummaryBlocks[level];
    if (level + 1 == kSummaryLevels ||
        up(lo, kSummaryBlocks[level + 1]) >= down(hi, kSummaryBlocks[level + 1])) {
      entries(level, lo / size, hi / size);
      break;
    }
    const std::size_t next = kSummaryBlocks[level + 1];
    entries(level, lo / size, up(lo, next) / size);
    entries(level, down(hi, next) / size, hi / size);
    lo = up(lo, next);
    hi = down(hi, next);
  }
  return cost;
}

SampleStore::QueryCost SampleStore::summarize(int channel, std::size_t first, std::size_t end,
                                              std::span<MinMax> columns,
                                              std::vector<std::size_t>* borders) const {
  std::vector<std::size_t> own;
  std::vector<std::size_t>& b = borders ? *borders : own;
  const std::size_t parts = columns.size();
  b.assign(parts + 1, first);
  for (std::size_t i = 1; i <= parts; ++i)
    b[i] = first + std::size_t((unsigned __int128)(end - first) * i / parts);
  if (parts == 0) b.assign(1, first);
  return summarize(channel, b, columns);
}

SampleStore::QueryCost SampleStore::summarize(int channel, std::vector<std::size_t>& borders,
                                              std::span<MinMax> columns) const {
  checkChannel(channel);
  const std::size_t parts = columns.size();
  if (borders.size() != parts + 1 || !std::is_sorted(borders.begin(), borders.end()) ||
      borders.back() > m_rows)
    throw AutomationError(err::kInvalidArgument,
                          QStringLiteral("%1 column borders for %2 columns, in order, within %3 "
                                         "samples")
                              .arg(borders.size())
                              .arg(parts)
                              .arg(m_rows));
  QueryCost cost;
  if (parts == 0) return cost;
  const std::size_t first = borders.front(), end = borders.back();
  const std::size_t n = end - first;
  // The coarsest level whose blocks are no wider than a column.
  std::size_t block = 1;
  for (std::size_t size : kSummaryBlocks)
    if (size * parts <= n) block = size;
  for (std::size_t i = 1; i < parts; ++i)
    borders[i] = std::clamp((borders[i] + block / 2) / block * block, borders[i - 1], end);
  for (std::size_t i = 0; i < parts; ++i) {
    columns[i] = MinMax();
    const QueryCost c = extremesInto(channel, borders[i], borders[i + 1], columns[i]);
    cost.entries += c.entries;
    cost.rows += c.rows;
  }
  return cost;
}

}  // namespace zrvlog
