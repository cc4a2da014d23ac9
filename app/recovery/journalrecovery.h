#pragma once
// Finding and recovering the journals of runs whose process ended without saving (see
// runjournal.h).

#include <QDateTime>
#include <QList>
#include <QString>
#include <cstdint>

#include "app/documents/datafile.h"

namespace zrvlog {

class AcquisitionEngine;

struct JournalInfo {
  QString base;         ///< NAME of NAME.head and NAME.rows
  int64_t samples = 0;  ///< complete sample rows
  QString startTime;    ///< when the run's first sample was taken, in the user's format
  QDateTime written;    ///< when the journal was last written to
};

/// The journals in folder that no running process writes, newest first. Journals without a
/// single complete sample are removed on the way: there is nothing in them to recover.
QList<JournalInfo> abandonedJournals(const QString& folder);

/// Loads a journal into the engine, which the caller has emptied (InitGraph), as saving the
/// data set and loading the file would have: the same values, time stamps, jitters, settings
/// and coefficients. A row cut off at the end is left out. The data set is untitled and
/// unsaved afterwards.
LoadResult recoverJournal(const JournalInfo& journal, AcquisitionEngine& engine);

/// Removes a journal's files.
void removeJournal(const QString& base);

/// "A recording of 1234 samples started on 08/12/2026 01:02:03" (for the recovery prompt).
QString describeJournal(const JournalInfo& journal);

}  // namespace zrvlog
