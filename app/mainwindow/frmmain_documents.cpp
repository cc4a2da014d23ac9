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
#include "app/graph/graphmembers.h"
#include "app/graph/graphmodel.h"
#include "app/graphview/graphview.h"
#include "app/mainwindow/frmmain.h"
#include "app/outputs/outputs.h"
#include "app/recovery/journalrecovery.h"
#include "app/recovery/runjournal.h"
#include "app/safewrite/safewrite.h"
#include "app/store/samplestore.h"
#include "common/automationerror.h"
#include "common/numberformat.h"

namespace zrvlog {

using zrv::Variant;

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
  showCaption();
}

void frmMain::showCaption() {
  m_view->setDocumentName(m_engine->data.CurrentFile);
  // "[*]" is where Qt puts the asterisk while the window is modified.
  const QString& file = m_engine->data.CurrentFile;
  setWindowTitle(file.isEmpty() ? kAppTitle + QStringLiteral("[*]")
                                : kAppTitle + QStringLiteral(" - ") + file + QStringLiteral("[*]"));
  setWindowModified(m_engine->data.DataChanged);
}

QString frmMain::caption() const {
  QString title = windowTitle();
  return title.replace(QStringLiteral("[*]"), isWindowModified() ? QStringLiteral("*") : QString());
}

Answer frmMain::SaveIfChanged(bool stopRun) {
  if (!m_engine->data.DataChanged) {
    if (stopRun && m_engine->running()) mnuDataStop_Click();
    return Answer::Ok;
  }
  const Answer answer = m_dialogs->message(this, QStringLiteral("Save file?"), kAppTitle,
                                           Buttons::YesNoCancel, Icon::None);
  if (answer != Answer::Yes && answer != Answer::No) return Answer::Cancel;
  // The samples offered are all there is once the run has stopped.
  if (stopRun && m_engine->running()) mnuDataStop_Click();
  // A save that was cancelled or failed keeps the data set: the caller must not go on.
  if (answer == Answer::Yes && !saveCurrent()) return Answer::Cancel;
  return answer;
}

void frmMain::mnuFileNew_Click() {
  if (SaveIfChanged(true) == Answer::Cancel) return;
  setUntitled();
  // The calibration stays, and with it the unit of the values.
  const Variant valueFormat = m_graph->property(GraphMember::LabelFormatY);
  m_engine->InitGraph();
  m_graph->setProperty(GraphMember::LabelFormatY, valueFormat);
  m_engine->settings.stopsec = QString();
  showCaption();
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
  // The question about the data on screen comes before the choice of a file to replace it.
  if (SaveIfChanged(true) == Answer::Cancel) return;
  const QString path = m_dialogs->openFile(
      this, FileRequest{QStringLiteral("Open"), kZrvFilter, m_engine->data.CurrentFile});
  if (!path.isEmpty()) loadFile(path);
}

void frmMain::mnuFileSave_Click() {
  saveCurrent();
}

bool frmMain::saveCurrent() {
  if (m_engine->data.CurrentFile.isEmpty()) return saveAs();
  return saveTo(m_engine->data.CurrentFile);
}

bool frmMain::saveAs() {
  const QString path =
      askSavePath(FileRequest{QStringLiteral("Save As"), kZrvFilter, m_engine->data.CurrentFile})
          .path;
  return !path.isEmpty() && saveTo(path);
}

bool frmMain::saveTo(const QString& path) {
  DataSet& data = m_engine->data;
  replaceQuotes();
  const SaveResult r = saveDataFile(path, m_engine->document());
  if (!r.ok) {
    // Nothing was saved: the name and the caption stay those of the data set on screen.
    doerr(r.error);
    return false;
  }
  if (!r.rowsError.isEmpty()) doerr(r.rowsError);
  data.CurrentFile = path;
  AddRecentFile(path);
  // A run that goes on adds samples that this file does not hold yet.
  data.DataChanged = m_engine->running();
  if (!data.DataChanged) m_journal->discard();
  showCaption();
  return true;
}

void frmMain::replaceQuotes() {
  // The data file quotes its texts and cannot hold a double quote inside one: a text cut
  // there on reading would lose the rest of the field.
  GraphModel& g = *m_graph;
  QStringList changed;
  const auto fix = [&](GraphMember member, int item, const QString& what) {
    const Variant& value = item < 0 ? g.graphValue(member) : g.itemValue(member, item);
    if (!value.isText() || !value.textValue().contains(QLatin1Char('"'))) return;
    const Variant fixed(QString(value.textValue()).replace(QLatin1Char('"'), QLatin1Char('\'')));
    if (item < 0)
      g.setProperty(member, fixed);
    else
      g.setValue(member, item, fixed);
    changed << what;
  };
  for (GraphMember m : {GraphMember::Caption, GraphMember::AxisTitleX, GraphMember::AxisTitleY,
                        GraphMember::LabelFormatX, GraphMember::LabelFormatY})
    fix(m, -1, findMember(int(m))->label);
  for (int e = 0; e < g.elementCount(); ++e)
    fix(GraphMember::ElementLabel, e, QStringLiteral("the name of element %1").arg(e));
  for (int a = 0; a < g.annotationCount(); ++a)
    fix(GraphMember::AnnoLabelText, a, QStringLiteral("the text of annotation %1").arg(a));
  if (!changed.isEmpty())
    m_dialogs->message(this,
                       QStringLiteral("A data file cannot hold a double quote (\") in a text. It "
                                      "was replaced by a single quote (') in: %1.")
                           .arg(changed.join(QStringLiteral(", "))),
                       kAppTitle, Buttons::Ok, Icon::Warning);
}

void frmMain::mnuFileSaveAs_Click() {
  saveAs();
}

void frmMain::LoadDataFile(const QString& requested) {
  // The name may come from a list that the steps below change (the recent files).
  const QString path = requested;
  if (SaveIfChanged(true) == Answer::Cancel) return;
  loadFile(path);
}

void frmMain::loadFile(const QString& path) {
  if (m_engine->running()) mnuDataStop_Click();
  m_engine->data.CurrentFile = path;
  AddRecentFile(path);
  m_engine->InitGraph();
  const LoadResult r = loadDataFile(path, m_engine->document());
  if (r.startTimeRead) setPanel(2, m_engine->data.StartTime.toText());
  showLoadedData();
  switch (r.status) {
    case LoadResult::Status::Loaded:
      showCaption();
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
  showRecordedChannels();
  const SampleStore& store = m_engine->document().store();
  const std::size_t n = store.rows();
  // The key of the last sample is its time.
  m_lastSampleTime = n ? store.key(n - 1) : 0;
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
    const RecoveryResult r = recoverJournal(journal, m_engine->document());
    if (r.startTimeRead) setPanel(2, m_engine->data.StartTime.toText());
    showLoadedData();
    if (!r.ok()) doerr(r.error);
    if (!r.shortfall().isEmpty()) doerr(r.shortfall());
    if (!m_journal->adopt(journal)) doerr(m_journal->lastError());
    showCaption();
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
  OutputSource source{m_engine->document(), [this]() -> GraphView& { return *m_view; }, {}};
  writeExport(format, path, source, [this](const QString& m) { doerr(m); });
}

void frmMain::exportPicture(const OutputFormat& format) {
  const auto pictures = pictureFormats();
  FileRequest request{QString(), picturesFilter(), suggestedName(format.extensionList().value(0))};
  request.selectedFilter = int(&format - pictures.data());
  request.choice = pictureStyleChoice();
  // A PDF is for paper: the light style unless the user chooses the screen's.
  if (QLatin1String(format.id) == QLatin1String("pdf")) request.choice->selected = 1;
  const SaveAnswer answer = askSavePath(request);
  if (answer.path.isEmpty()) return;
  const OutputFormat& chosen = pictureFormatFor(answer.path, answer.filter);
  OutputSource source{m_engine->document(),
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
