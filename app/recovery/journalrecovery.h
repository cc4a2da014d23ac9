#pragma once
// Finding and recovering the journals of runs whose process ended without saving (see
// runjournal.h).
//
// Recovery gives back what can be read and says what it cannot: rows in a damaged part of
// the rows file are skipped (every intact row after them is recovered) and counted, and a
// journal whose header is gone comes back with the default settings. Nothing that cannot
// be read is removed.

#include <QDateTime>
#include <QList>
#include <QString>
#include <QStringList>
#include <cstdint>

#include "app/documents/datafile.h"

namespace zrvlog {

/// The files of a journal, named after its base path: the sample store (a folder), the
/// settings and graph header, the mark of a journal kept on purpose and that of one that
/// stopped early; and the sample rows as text, of journals that earlier versions wrote.
namespace journalfile {
QString samples(const QString& base);
QString rows(const QString& base);
QString header(const QString& base);
QString kept(const QString& base);
QString stopped(const QString& base);
}  // namespace journalfile

class Document;

struct JournalInfo {
  QString base;                ///< NAME of NAME.head and NAME.samples (or NAME.rows)
  int64_t samples = 0;         ///< intact sample rows: what a recovery gives back
  int64_t lostRows = 0;        ///< samples in damaged parts (of text rows: estimated)
  QString startTime;           ///< when the run's first sample was taken, in the user's format
  QDateTime written;           ///< when the journal was last written to
  bool withoutHeader = false;  ///< NAME.head is gone: the settings are the defaults
  bool kept = false;           ///< its process kept it unsaved on purpose (it did not crash)
  bool stoppedEarly = false;   ///< writing it failed before its run ended (NAME.stopped)
};

/// The journals in folder that no running process writes, newest first. Journals without a
/// single sample are removed on the way (there is nothing in them to recover), but only when
/// they could be read and belong to this user. Journals that cannot be read are left alone,
/// and leftAlone (when given) gets a line for people on each.
QList<JournalInfo> abandonedJournals(const QString& folder, QStringList* leftAlone = nullptr);

/// What a recovery gave back, and what it could not.
struct RecoveryResult : LoadResult {
  int64_t lostRows = 0;           ///< as in JournalInfo
  bool lostAtEnd = false;         ///< they were the last ones (a store torn by a power cut)
  bool withoutHeader = false;     ///< as in JournalInfo
  bool headerDamaged = false;     ///< NAME.head could not be read: the settings are the defaults
  QString headerError;            ///< why not
  bool stoppedEarly = false;      ///< the journal stopped before its run ended
  int64_t missingAfterStop = -1;  ///< samples of the run after the stop; -1: not known
  /// Everything the journal held came back, and it held the whole run.
  bool complete() const {
    return ok() && lostRows == 0 && !withoutHeader && !headerDamaged && !stoppedEarly;
  }
  /// What did not come back, for people; empty when nothing is missing.
  QString shortfall() const;
};

/// Loads a journal into the document, which the caller has emptied (initGraph), as saving the
/// data set and loading the file would have: the same values, time stamps, jitters, settings
/// and coefficients. The document takes the journal's sample store as it is (it stays in the
/// journal's folder: see Document::adoptSamples); rows of text are read into its own. A row
/// cut off at the end is left out, and so are damaged rows. Without a header the document's
/// own settings stand in for the lost ones, but for the interval, which the samples' times
/// tell. The data set is untitled and unsaved afterwards.
RecoveryResult recoverJournal(const JournalInfo& journal, Document& document);

/// Removes a journal's files (a document that holds its store keeps using it until it goes).
void removeJournal(const QString& base);

/// "a recording of 1234 samples from 08/12/2026 01:02:03" (for the recovery prompt and the
/// list of the command line; capitalise it to start a sentence).
QString describeJournal(const JournalInfo& journal);

}  // namespace zrvlog
