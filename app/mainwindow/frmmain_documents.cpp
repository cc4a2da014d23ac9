// The File and Edit menus of the main window: New, Open, Save, Save As, the save prompt,
// the CSV and picture exports, printing, copying and the recent files. The work itself is
// the documents library's; here the window asks its questions and shows the outcome.
#include <QAction>
#include <QDir>
#include <QFileInfo>
#include <QMenu>

#include "app/appinfo/appinfo.h"
#include "app/dialogs/dialogs.h"
#include "app/documents/datafile.h"
#include "app/documents/recentfiles.h"
#include "app/graph/graphmodel.h"
#include "app/graphview/graphview.h"
#include "app/mainwindow/frmmain.h"
#include "app/outputs/outputs.h"
#include "app/recovery/journalrecovery.h"
#include "app/recovery/runjournal.h"
#include "app/safewrite/safewrite.h"
#include "common/automationerror.h"
#include "common/numberformat.h"

namespace zrvlog {

namespace {
const QString kZrvFilter = dialogFilter(dataFileFormat());
}  // namespace

void frmMain::initDocumentCommands() {
  const Menus& m = m_menus;
  connect(m.mnuFileNew, &QAction::triggered, this, &frmMain::mnuFileNew_Click);
  connect(m.mnuFileOpen, &QAction::triggered, this, &frmMain::mnuFileOpen_Click);
  connect(m.mnuFileSave, &QAction::triggered, this, &frmMain::mnuFileSave_Click);
  connect(m.mnuFileSaveAs, &QAction::triggered, this, &frmMain::mnuFileSaveAs_Click);
  connect(m.mnuExportCSV, &QAction::triggered, this, &frmMain::mnuExportCSV_Click);
  connect(m.mnuExportBMP, &QAction::triggered, this, &frmMain::mnuExportBMP_Click);
  for (const auto& [format, action] : m.mnuExport) {
    if (action == m.mnuExportCSV || action == m.mnuExportBMP) continue;
    connect(action, &QAction::triggered, this, [this, format] { exportOutput(*format); });
  }
  connect(m.mnuFilePrint, &QAction::triggered, this, &frmMain::mnuFilePrint_Click);
  connect(m.mnuCopy, &QAction::triggered, this, &frmMain::mnuCopy_Click);
  for (int i = 1; i <= RecentFiles::kCount; ++i)
    connect(m.mnuFileMRU[i], &QAction::triggered, this, [this, i] { mnuFileMRU_Click(i); });
  m_recent = std::make_shared<RecentFiles>(*m_stored);
}

// ---- Recent files ----------------------------------------------------------------------

void frmMain::restoreRecentFiles() {
  m_recent->restore();
  showRecentFiles();
}

void frmMain::showRecentFiles() {
  for (int i = 1; i <= RecentFiles::kCount; ++i) {
    const RecentFiles::Entry& e = m_recent->entry(i);
    QAction* item = m_menus.mnuFileMRU[i];
    // A path is shown as it is: an ampersand in it is not a mnemonic.
    item->setText(QString(e.caption).replace(QLatin1Char('&'), QStringLiteral("&&")));
    item->setData(e.path);
    item->setVisible(e.visible);
  }
  m_menus.mnuFileBar5->setVisible(m_recent->anyVisible());
}

void frmMain::AddRecentFile(const QString& path) {
  m_recent->add(path);
  showRecentFiles();
}

void frmMain::mnuFileMRU_Click(int Index) {
  // A copy: loading moves the entry to the top, which would change what a reference into
  // the list names halfway through the load.
  const QString path = m_recent->entry(Index).path;
  LoadDataFile(path);
}

// ---- New, Open, Save ---------------------------------------------------------------------

void frmMain::setUntitled() {
  m_engine->data.CurrentFile.clear();
  setWindowTitle(kAppTitle);
}

Answer frmMain::SaveIfChanged() {
  if (!m_engine->data.DataChanged) return Answer::Ok;
  const Answer answer =
      m_dialogs->message(this, QStringLiteral("Save file?"), kAppTitle, Buttons::YesNo, Icon::None);
  // The caller goes on and may throw the data set away; when the samples were not saved, the
  // journal keeps them and the next start offers them back.
  if (answer == Answer::Yes && !saveCurrent()) m_journal->keep();
  return answer;
}

void frmMain::mnuFileNew_Click() {
  SaveIfChanged();
  if (m_engine->running()) mnuDataStop_Click();
  setUntitled();
  m_engine->InitGraph();
  m_engine->settings.stopsec = QString();
}

SaveAnswer frmMain::askSavePath(FileRequest request) {
  for (;;) {
    SaveAnswer answer = m_dialogs->saveFile(this, request);
    const QString path = savePathFor(answer, request.filter);
    // The dialog asked about the name it was given; a name with the extension added is a
    // file it has not asked about.
    if (path != answer.path && QFileInfo::exists(path)) {
      const QString question =
          QStringLiteral("%1 already exists.\nDo you want to replace it?").arg(path);
      if (m_dialogs->message(this, question, kAppTitle, Buttons::YesNo, Icon::Warning) !=
          Answer::Yes) {
        request.initialName = path;
        request.selectedFilter = answer.filter;
        if (request.choice) request.choice->selected = answer.choice;
        continue;
      }
    }
    answer.path = path;
    return answer;
  }
}

QString frmMain::suggestedName(const QString& extension) const {
  const QString& current = m_engine->data.CurrentFile;
  if (current.isEmpty()) return {};
  const QFileInfo info(current);
  return info.dir().filePath(info.completeBaseName() + QLatin1Char('.') + extension);
}

void frmMain::mnuFileOpen_Click() {
  const QString path = m_dialogs->openFile(
      this, FileRequest{QStringLiteral("Open"), kZrvFilter, m_engine->data.CurrentFile});
  if (!path.isEmpty()) LoadDataFile(path);
}

void frmMain::mnuFileSave_Click() {
  saveCurrent();
}

bool frmMain::saveCurrent() {
  DataSet& data = m_engine->data;
  if (data.CurrentFile.isEmpty()) {
    const QString path =
        askSavePath(FileRequest{QStringLiteral("Save As"), kZrvFilter, data.CurrentFile}).path;
    if (path.isEmpty()) return false;
    data.CurrentFile = path;
    setWindowTitle(kAppTitle + QStringLiteral(" - ") + path);
  }
  const SaveResult r = saveDataFile(data.CurrentFile, *m_engine);
  if (!r.ok) {
    doerr(r.error);
    return false;
  }
  if (!r.rowsError.isEmpty()) doerr(r.rowsError);
  AddRecentFile(data.CurrentFile);
  // A run that goes on adds samples that this file does not hold yet.
  data.DataChanged = m_engine->running();
  if (!data.DataChanged) m_journal->discard();
  return true;
}

void frmMain::mnuFileSaveAs_Click() {
  const QString path =
      askSavePath(FileRequest{QStringLiteral("Save As"), kZrvFilter, m_engine->data.CurrentFile})
          .path;
  if (path.isEmpty()) return;
  m_engine->data.CurrentFile = path;
  setWindowTitle(kAppTitle + QStringLiteral(" - ") + path);
  saveCurrent();
}

void frmMain::LoadDataFile(const QString& requested) {
  // The name may come from a list that the steps below change (the recent files).
  const QString path = requested;
  if (m_engine->running()) mnuDataStop_Click();
  SaveIfChanged();
  m_engine->data.CurrentFile = path;
  AddRecentFile(path);
  m_engine->InitGraph();
  const LoadResult r = loadDataFile(path, *m_engine);
  if (r.startTimeRead) setPanel(2, m_engine->data.StartTime.toText());
  showLoadedData();
  switch (r.status) {
    case LoadResult::Status::Loaded:
      setWindowTitle(kAppTitle + QStringLiteral(" - ") + path);
      return;
    case LoadResult::Status::IncorrectFormat:
      setUntitled();
      msgBox(r.error);
      return;
    case LoadResult::Status::CannotOpen:
    case LoadResult::Status::ReadError:
      setUntitled();
      doerr(r.error);
      return;
  }
}

void frmMain::showLoadedData() {
  const DataSet& data = m_engine->data;
  const std::size_t n = data.sampleCount();
  // The key of the last sample holds its time: "T20.5".
  m_lastSampleTime = n ? zrv::parseNumber(data.TimeStamps.key(n).mid(1)).value_or(0) : 0;
  if (n) setPanel(3, zrv::formatPattern(m_lastSampleTime, u"0.0") + QStringLiteral(" s"));
  showDataState();
}

// ---- Recovery -------------------------------------------------------------------------

void frmMain::offerRecovery() {
  for (const JournalInfo& journal : abandonedJournals(m_journalFolder)) {
    QString recording = describeJournal(journal);
    recording[0] = recording[0].toUpper();
    // A journal kept on purpose (the save at the end was cancelled or failed) is no crash.
    const QString question =
        (journal.kept ? QString() : QStringLiteral("ZRVLOG was not closed properly. ")) +
        QStringLiteral("%1 was not saved. Recover it?").arg(recording);
    if (m_dialogs->message(this, question, kAppTitle, Buttons::YesNo, Icon::Question) !=
        Answer::Yes) {
      removeJournal(journal.base);
      continue;
    }
    m_engine->InitGraph();
    setUntitled();
    const RecoveryResult r = recoverJournal(journal, *m_engine);
    if (r.startTimeRead) setPanel(2, m_engine->data.StartTime.toText());
    showLoadedData();
    if (!r.ok()) doerr(r.error);
    if (!r.shortfall().isEmpty()) doerr(r.shortfall());
    if (!m_journal->adopt(journal)) doerr(m_journal->lastError());
    return;  // one data set at a time: the others are offered at the next start
  }
}

// ---- Export, print, copy -----------------------------------------------------------------

void frmMain::mnuExportCSV_Click() {
  exportOutput(csvFormat());
}

void frmMain::mnuExportBMP_Click() {
  exportPicture(pictureFormats().front());
}

namespace {

// Writes one output of the registry to path; false (with the message shown) if it failed.
bool writeExport(const OutputFormat& format, const QString& path, OutputSource& source,
                 const std::function<void(const QString&)>& show) {
  SafeOutput target;
  SaveResult r;
  if (const auto problem = target.hold(path)) {
    show(QStringLiteral("Cannot write %1: %2").arg(path, *problem));
    return false;
  }
  if (writeOutput(format, target, source, &r)) {
    show(r.error);
    return false;
  }
  if (!r.rowsError.isEmpty()) show(r.rowsError);
  return true;
}

}  // namespace

void frmMain::exportOutput(const OutputFormat& format) {
  if (format.picture) return exportPicture(format);
  const QString path = askSavePath(FileRequest{QString(), dialogFilter(format),
                                               suggestedName(format.extensionList().value(0))})
                           .path;
  if (path.isEmpty()) return;
  OutputSource source{*m_engine, [this]() -> GraphView& { return *m_view; }, {}};
  writeExport(format, path, source, [this](const QString& m) { doerr(m); });
}

void frmMain::exportPicture(const OutputFormat& format) {
  const auto pictures = pictureFormats();
  FileRequest request{QString(), picturesFilter(), suggestedName(format.extensionList().value(0))};
  request.selectedFilter = int(&format - pictures.data());
  request.choice = pictureStyleChoice();
  const SaveAnswer answer = askSavePath(request);
  if (answer.path.isEmpty()) return;
  const OutputFormat& chosen = pictureFormatFor(answer.path, answer.filter);
  OutputSource source{*m_engine,
                      [this]() -> GraphView& { return *m_view; },
                      {QSize(), pictureStyleAt(answer.choice)}};
  writeExport(chosen, answer.path, source, [this](const QString& m) { doerr(m); });
}

void frmMain::mnuFilePrint_Click() {
  try {
    m_view->printPlot();
  } catch (const zrv::AutomationError& e) {
    doerr(e.message());
  }
}

void frmMain::mnuCopy_Click() {
  try {
    m_view->copyGraph();
  } catch (const zrv::AutomationError& e) {
    doerr(e.message());
  }
}

}  // namespace zrvlog
