// The File and Edit menus of the main window with scripted dialogs: the save prompt and its
// flows, the caption, failed loads and saves, the exports, printing, copying and the
// recent files across a restart.
#include <gtest/gtest.h>

#include <QAction>
#include <QApplication>
#include <QClipboard>
#include <QDir>
#include <QFile>
#include <QImage>
#include <QPrinter>
#include <QProcess>
#include <QSettings>
#include <QTemporaryDir>

#include "app/documents/datafile.h"
#include "app/graph/graphmodel.h"
#include "app/graphview/graphview.h"
#include "app/mainwindow/frmmain.h"
#include "app/settings/storedsettings.h"
#include "app/timer/manualtimer.h"
#include "tests/fakes/fakeboardcontrol.h"
#include "tests/support/mainwindowfixture.h"
#include "tests/support/picturecheck.h"
#include "tests/support/scripteddialogs.h"

namespace zrvlog {
namespace {

class DocumentsWindowTest : public zrvtest::MainWindowFixture {
 protected:
  QByteArray contents(const QString& file) const {
    QFile f(file);
    return f.open(QIODevice::ReadOnly) ? f.readAll() : QByteArray();
  }
  // A data file of n samples, saved by a window of its own.
  void makeFile(const QString& file, int samples) {
    open();
    record(samples);
    ASSERT_TRUE(saveDataFile(file, window->engine().document()).ok);
    close();
  }
  // The samples in a data file, read by an engine of its own.
  static int64_t rowsIn(const QString& file) {
    GraphModel g;
    zrvtest::FakeBoardControl b;
    ManualTimer t;
    AcquisitionEngine e(g, b, t);
    e.applyStartUpDefaults();
    e.InitGraph();
    return loadDataFile(file, e.document()).rows;
  }
  const frmMain::Menus& m() const { return window->menus(); }
  QStringList recentCaptions() const {
    QStringList out;
    for (int i = 1; i <= 4; ++i)
      if (m().mnuFileMRU[i]->isVisible()) out << m().mnuFileMRU[i]->text();
    return out;
  }
};

TEST_F(DocumentsWindowTest, SaveAsTitlesTheWindowAndSaveReusesTheName) {
  open();
  EXPECT_TRUE(m().mnuFileSave->isEnabled());
  EXPECT_TRUE(window->toolButton(QStringLiteral("Save"))->isEnabled());
  record(5);
  EXPECT_TRUE(window->engine().data.DataChanged);
  const QString file = path("first.zrv");
  dialogs.answerSaveFile(file);
  window->tbToolBar_ButtonClick(QStringLiteral("Save"));  // untitled: Save As
  ASSERT_EQ(dialogs.asked().size(), 1u);
  const auto& q = dialogs.asked()[0];
  EXPECT_EQ(q.kind, zrvtest::ScriptedDialogs::Kind::SaveFile);
  EXPECT_EQ(q.file.title, QStringLiteral("Save As"));
  EXPECT_EQ(q.file.filter, QStringLiteral("ZRV Files (*.zrv)|*.zrv|All Files (*.*)|*.*"));
  EXPECT_TRUE(q.file.initialName.isEmpty());
  EXPECT_EQ(window->caption(), QStringLiteral("ZRVLOG - ") + file);
  EXPECT_EQ(window->CurrentFile(), file);
  EXPECT_FALSE(window->engine().data.DataChanged);
  EXPECT_TRUE(contents(file).startsWith("\"1.0\"\r\n"));
  EXPECT_EQ(recentCaptions(), QStringList({file}));

  m().mnuFileSave->trigger();  // titled: no dialog
  EXPECT_EQ(dialogs.asked().size(), 1u);
  // A new run is a new document: its first Save asks for a name and leaves the file alone.
  record(2);
  EXPECT_EQ(window->caption(), QStringLiteral("ZRVLOG*"));
  const QString second = path("second.zrv");
  dialogs.answerSaveFile(second);
  m().mnuFileSave->trigger();
  EXPECT_EQ(dialogs.asked().size(), 2u);
  EXPECT_EQ(rowsIn(file), 5) << "the file the data came from is untouched";
  EXPECT_EQ(rowsIn(second), 2);
  m().mnuFileNew->trigger();
  EXPECT_EQ(window->caption(), QStringLiteral("ZRVLOG"));
  EXPECT_TRUE(window->CurrentFile().isEmpty());
  EXPECT_EQ(window->engine().document().sampleCount(), 0u);
}

TEST_F(DocumentsWindowTest, YesWhileUntitledOpensSaveAsAndCancellingItCancelsTheCommand) {
  open();
  record(3);
  window->engine().settings.stopsec = zrv::Variant("5");
  dialogs.answerMessage(Answer::Yes).answerSaveFile(QString());
  m().mnuFileNew->trigger();
  ASSERT_EQ(dialogs.asked().size(), 2u);
  EXPECT_EQ(dialogs.asked()[0].text, QStringLiteral("Save file?"));
  EXPECT_EQ(dialogs.asked()[0].title, QStringLiteral("ZRVLOG"));
  EXPECT_EQ(dialogs.asked()[0].buttons, Buttons::YesNoCancel);
  EXPECT_EQ(dialogs.asked()[0].icon, Icon::None);
  EXPECT_EQ(dialogs.asked()[1].file.title, QStringLiteral("Save As"));
  EXPECT_EQ(window->engine().document().sampleCount(), 3u) << "New did not go on";
  EXPECT_EQ(window->engine().settings.stopsec.toText(), QStringLiteral("5"));
  EXPECT_TRUE(QDir(dir.path()).entryList({QStringLiteral("*.zrv")}, QDir::Files).isEmpty())
      << "nothing saved";
}

TEST_F(DocumentsWindowTest, StartingARunWithUnsavedDataAsksAndNoStillStarts) {
  open();
  record(3);
  dialogs.answerMessage(Answer::No);
  window->mnuDataStart_Click();
  EXPECT_EQ(dialogs.messages(), std::vector<QString>{QStringLiteral("Save file?")});
  EXPECT_TRUE(board->portopen());
  EXPECT_EQ(window->engine().document().sampleCount(), 0u);
  window->mnuDataStop_Click();
}

TEST_F(DocumentsWindowTest, OpenDuringARunAsksFirstThenStopsItAndSavesWhereAsked) {
  const QString other = path("other.zrv"), old = path("old.zrv");
  makeFile(other, 4);
  open();
  record(2);
  dialogs.answerSaveFile(old);
  m().mnuFileSaveAs->trigger();
  window->mnuDataStart_Click();  // saved: no question
  timer->fire();
  timer->fire();
  timer->fire();
  const QString run = path("run.zrv");
  dialogs.answerMessage(Answer::Yes).answerSaveFile(run).answerOpenFile(other);
  window->tbToolBar_ButtonClick(QStringLiteral("Open"));
  EXPECT_FALSE(board->portopen()) << "the run was stopped";
  EXPECT_EQ(dialogs.asked()[1].text, QStringLiteral("Save file?"));
  EXPECT_EQ(dialogs.asked()[2].file.title, QStringLiteral("Save As"));
  const auto& open = dialogs.asked()[3];
  EXPECT_EQ(open.file.title, QStringLiteral("Open"));
  EXPECT_EQ(open.file.initialName, run) << "the run's samples were saved there";
  EXPECT_EQ(rowsIn(old), 2) << "the file saved before the run is untouched";
  EXPECT_EQ(rowsIn(run), 3) << "the run's samples went to the name asked for";
  EXPECT_EQ(window->engine().document().sampleCount(), 4u);
  EXPECT_EQ(window->caption(), QStringLiteral("ZRVLOG - ") + other);
  EXPECT_EQ(recentCaptions(), QStringList({other, run, old}));
}

TEST_F(DocumentsWindowTest, CancelledDialogsChangeNothing) {
  open();
  record(2);
  dialogs.answerMessage(Answer::No)
      .answerOpenFile(QString())
      .answerSaveFile(QString())
      .answerSaveFile(QString());
  m().mnuFileOpen->trigger();
  m().mnuFileSaveAs->trigger();
  m().mnuExportCSV->trigger();
  EXPECT_EQ(dialogs.asked().size(), 4u) << "no message after a cancel";
  EXPECT_EQ(window->engine().document().sampleCount(), 2u);
  EXPECT_TRUE(window->engine().data.DataChanged);
  EXPECT_EQ(window->caption(), QStringLiteral("ZRVLOG*"));
}

TEST_F(DocumentsWindowTest, AFileThatCannotBeLoadedLeavesTheDataSetUntitled) {
  const QString good = path("good.zrv"), bad = path("bad.zrv"), gone = path("gone.zrv");
  makeFile(good, 3);
  QFile f(bad);
  ASSERT_TRUE(f.open(QIODevice::WriteOnly));
  f.write("\"2.0\"\r\n");
  f.close();
  open();
  window->LoadDataFile(good);
  EXPECT_EQ(window->caption(), QStringLiteral("ZRVLOG - ") + good);
  EXPECT_FALSE(window->panelText(2).isEmpty()) << "the start time of the file";

  dialogs.answerMessage(Answer::Ok);
  window->LoadDataFile(bad);
  EXPECT_EQ(dialogs.asked().back().text, QStringLiteral("Incorrect file format"));
  EXPECT_EQ(dialogs.asked().back().title, QStringLiteral("ZRVLOG"));
  EXPECT_TRUE(window->CurrentFile().isEmpty());
  EXPECT_EQ(window->caption(), QStringLiteral("ZRVLOG"));
  EXPECT_EQ(contents(bad), "\"2.0\"\r\n");

  // Save now asks for a name instead of writing over the file that could not be read.
  record(1);
  dialogs.answerSaveFile(QString());
  m().mnuFileSave->trigger();
  EXPECT_EQ(contents(bad), "\"2.0\"\r\n");

  dialogs.answerMessage(Answer::No).answerMessage(Answer::Ok);
  window->LoadDataFile(gone);
  EXPECT_EQ(dialogs.asked().back().title, QStringLiteral("Error"));
  EXPECT_EQ(dialogs.asked().back().text,
            QStringLiteral("Cannot open %1: No such file or directory").arg(gone));
  EXPECT_EQ(recentCaptions(), QStringList({gone, bad, good})) << "a failed load stays listed";
}

TEST_F(DocumentsWindowTest, AFailedSaveShowsTheFileAndReasonAndKeepsTheDataUnsaved) {
  open();
  record(2);
  const QString target = path("missing-folder/run.zrv");
  dialogs.answerSaveFile(target).answerMessage(Answer::Ok);
  m().mnuFileSaveAs->trigger();
  EXPECT_TRUE(dialogs.asked().back().text.startsWith(QStringLiteral("Cannot save ") + target))
      << dialogs.asked().back().text.toStdString();
  EXPECT_TRUE(window->engine().data.DataChanged);
  EXPECT_TRUE(recentCaptions().isEmpty());
}

TEST_F(DocumentsWindowTest, ASaveDuringARunStillOffersToSaveTheLaterSamples) {
  open();
  window->mnuDataStart_Click();
  timer->fire();
  dialogs.answerSaveFile(path("live.zrv"));
  m().mnuFileSave->trigger();
  EXPECT_TRUE(window->engine().data.DataChanged);
  timer->fire();
  dialogs.answerMessage(Answer::Yes);
  window->close();  // stops, asks, saves both samples
  window.reset();
  EXPECT_EQ(rowsIn(path("live.zrv")), 2);
}

TEST_F(DocumentsWindowTest, RecentFileOrders) {
  const struct {
    const char* name;
    QStringList opened;  // after A, B, C, D were opened in reverse (D first)
    QStringList expected;
  } cases[] = {
      {"open E", {"E"}, {"E", "A", "B", "C"}},
      {"open C", {"C"}, {"C", "A", "B", "D"}},
      {"open A again", {"A"}, {"A", "B", "C", "D"}},
      {"open B", {"B"}, {"B", "A", "C", "D"}},
      {"letter case counts", {"a"}, {"a", "A", "B", "C"}},
  };
  for (const auto& c : cases) {
    SCOPED_TRACE(c.name);
    QFile::remove(iniPath);
    open();
    for (const char* name : {"D", "C", "B", "A"})
      window->AddRecentFile(QString::fromLatin1(name));
    for (const QString& name : c.opened)
      window->AddRecentFile(name);
    EXPECT_EQ(recentCaptions(), c.expected);
    EXPECT_TRUE(m().mnuFileBar5->isVisible());
    close();
    QSettings ini(iniPath, QSettings::IniFormat);
    for (int i = 1; i <= 4; ++i) {
      EXPECT_EQ(ini.value(QStringLiteral("MRU/%1").arg(i)).toString(), c.expected[i - 1]);
      EXPECT_EQ(ini.value(QStringLiteral("MRUTag/%1").arg(i)).toString(), c.expected[i - 1]);
    }
  }
}

TEST_F(DocumentsWindowTest, EveryRecentFileEntryOpensTheFileItNames) {
  // Four files told apart by their sample counts.
  QStringList files;
  for (int n = 1; n <= 4; ++n) {
    files << path(QStringLiteral("run%1.zrv").arg(n).toLatin1().constData());
    makeFile(files.back(), n);
  }
  open();
  for (const QString& file : files)
    window->LoadDataFile(file);
  for (int entry = 1; entry <= 4; ++entry) {
    const QStringList before = recentCaptions();
    ASSERT_EQ(before.size(), 4);
    const QString chosen = before[entry - 1];
    m().mnuFileMRU[entry]->trigger();
    const int samples = files.indexOf(chosen) + 1;
    EXPECT_EQ(window->engine().document().sampleCount(), std::size_t(samples)) << "entry " << entry;
    EXPECT_EQ(window->CurrentFile(), chosen) << "entry " << entry;
    EXPECT_EQ(window->caption(), QStringLiteral("ZRVLOG - ") + chosen) << "entry " << entry;
    QStringList expected = before;
    expected.move(entry - 1, 0);
    EXPECT_EQ(recentCaptions(), expected) << "entry " << entry;
  }
}

TEST_F(DocumentsWindowTest, ClearAsksToSaveUnsavedSamplesAndLeavesTheDocumentUntitled) {
  const QString file = path("kept.zrv");
  makeFile(file, 3);
  open();
  window->LoadDataFile(file);
  m().mnuViewRefresh->trigger();  // nothing unsaved: no question
  EXPECT_TRUE(dialogs.asked().empty());
  EXPECT_TRUE(window->CurrentFile().isEmpty()) << "a Save must not write the empty set over it";
  record(2);
  const QString saved = path("cleared.zrv");
  dialogs.answerMessage(Answer::Yes).answerSaveFile(saved);
  m().mnuViewRefresh->trigger();
  ASSERT_GE(dialogs.asked().size(), 1u);
  EXPECT_EQ(dialogs.asked()[0].text, QStringLiteral("Save file?"));
  EXPECT_EQ(rowsIn(saved), 2);
  EXPECT_EQ(rowsIn(file), 3);
  EXPECT_EQ(window->engine().document().sampleCount(), 0u);
}

TEST_F(DocumentsWindowTest, RecentFilesSurviveARestartAndReopen) {
  const QString a = path("a&b.zrv");
  makeFile(a, 3);
  open();
  EXPECT_FALSE(m().mnuFileBar5->isVisible()) << "nothing stored yet";
  window->LoadDataFile(a);
  close();
  open();
  EXPECT_TRUE(m().mnuFileMRU[1]->isVisible());
  EXPECT_FALSE(m().mnuFileMRU[2]->isVisible());
  EXPECT_EQ(m().mnuFileMRU[1]->text(),
            QString(a).replace(QStringLiteral("&"), QStringLiteral("&&")));
  m().mnuFileMRU[1]->trigger();
  EXPECT_EQ(window->engine().document().sampleCount(), 3u);
  EXPECT_EQ(window->caption(), QStringLiteral("ZRVLOG - ") + a);
}

TEST_F(DocumentsWindowTest, TheSelectedFilterDecidesTheFormatAndTheExtension) {
  open();
  window->resize(800, 600);
  record(4);
  // Filters of the picture dialog: 0 Bitmap, 1 PNG, 2 PDF, 3 All Files.
  const struct {
    const char* typed;
    int filter;
    const char* written;
    QByteArray magic;
  } pictures[] = {
      {"run2-graph", 1, "run2-graph.png", "\x89PNG"},  // a bare name gets the filter's extension
      {"plot.bmp", 0, "plot.bmp", "BM"},
      {"plot.pdf", 0, "plot.pdf", "%PDF"},  // a picture extension names its format
      {"plot.PNG", 2, "plot.PNG", "\x89PNG"},
      {"plot", 3, "plot", "BM"},  // All Files: the name as typed, a bitmap
      {"notes.txt", 2, "notes.txt.pdf", "%PDF"},
  };
  for (const auto& p : pictures) {
    SCOPED_TRACE(p.typed);
    dialogs.answerSaveFile(path(p.typed), p.filter);
    m().mnuExportBMP->trigger();
    const auto& asked = dialogs.asked().back().file;
    EXPECT_EQ(asked.filter, QStringLiteral("Bitmap (*.bmp)|*.bmp|PNG image (*.png)|*.png|"
                                           "PDF document (*.pdf)|*.pdf|All Files|*.*"));
    EXPECT_EQ(asked.selectedFilter, 0);
    ASSERT_TRUE(asked.choice.has_value());
    EXPECT_EQ(asked.choice->options.size(), 2);
    EXPECT_TRUE(contents(path(p.written)).startsWith(p.magic)) << p.written;
  }
  EXPECT_FALSE(QFile::exists(path("run2-graph"))) << "the name as typed is not written";
  // The menu has one item per format, each with its own filter first.
  ASSERT_EQ(m().mnuExport.size(), 5u) << "the two CSVs and the three pictures";
  EXPECT_EQ(m().mnuExport[3].second->text(), QStringLiteral("&PNG"));
  dialogs.answerSaveFile(QString());
  m().mnuExport[4].second->trigger();
  EXPECT_EQ(dialogs.asked().back().file.selectedFilter, 2);
  // The analysis CSV comes with its entry alone: item, filter, extension and writer.
  EXPECT_EQ(m().mnuExport[1].second->objectName(), QStringLiteral("mnuExportANALYSIS"));
  dialogs.answerSaveFile(path("for-analysis"));
  m().mnuExport[1].second->trigger();
  EXPECT_EQ(dialogs.asked().back().file.filter,
            QStringLiteral("Analysis CSV (*.csv)|*.csv|All Files|*.*||"));
  EXPECT_TRUE(contents(path("for-analysis.csv")).startsWith("Time,Elapsed (s),Channel 1 (V)"));

  // CSV: *.csv, *.txt and All Files.
  for (const auto& [typed, filter, written] :
       {std::tuple{"data", 0, "data.csv"}, std::tuple{"data", 1, "data.txt"},
        std::tuple{"data.txt", 0, "data.txt"}, std::tuple{"raw", 2, "raw"}}) {
    dialogs.answerSaveFile(path(typed), filter);
    m().mnuExportCSV->trigger();
    EXPECT_EQ(contents(path(written)).count("\r\n"), 5) << written;
  }
  EXPECT_TRUE(dialogs.asked().back().file.title.isEmpty());
  EXPECT_EQ(
      dialogs.asked().back().file.filter,
      QStringLiteral("Comma delimited (*.csv)|*.csv|Text file (*.txt)|*.txt|All Files|*.*||"));
  EXPECT_TRUE(window->engine().data.DataChanged) << "exports save nothing";
  EXPECT_TRUE(window->CurrentFile().isEmpty());

  dialogs.answerSaveFile(path("no-such-folder/plot.png")).answerMessage(Answer::Ok);
  m().mnuExportBMP->trigger();
  EXPECT_EQ(dialogs.asked().back().title, QStringLiteral("Error"));
  EXPECT_TRUE(dialogs.asked().back().text.contains(path("no-such-folder/plot.png")));
}

TEST_F(DocumentsWindowTest, SaveAsAddsTheExtensionAndExportsSuggestTheDataFilesName) {
  open();
  record(3);
  dialogs.answerSaveFile(path("run2"));
  m().mnuFileSaveAs->trigger();
  EXPECT_EQ(window->CurrentFile(), path("run2.zrv")) << "the Open dialog's *.zrv shows it";
  EXPECT_TRUE(contents(path("run2.zrv")).startsWith("\"1.0\""));
  EXPECT_EQ(window->caption(), QStringLiteral("ZRVLOG - ") + path("run2.zrv"));

  dialogs.answerSaveFile(QString());
  m().mnuExportCSV->trigger();
  EXPECT_EQ(dialogs.asked().back().file.initialName, path("run2.csv"));
  dialogs.answerSaveFile(QString());
  m().mnuExport[3].second->trigger();
  EXPECT_EQ(dialogs.asked().back().file.initialName, path("run2.png"));
  dialogs.answerOpenFile(QString());
  m().mnuFileOpen->trigger();
  EXPECT_EQ(dialogs.asked().back().file.initialName, path("run2.zrv"));
}

TEST_F(DocumentsWindowTest, AFileTheAddedExtensionNamesIsReplacedOnlyWhenTheUserAgrees) {
  open();
  record(3);
  QFile existing(path("graph.png"));
  ASSERT_TRUE(existing.open(QIODevice::WriteOnly));
  existing.write("keep me");
  existing.close();
  // No: the dialog comes back with the full name, and a cancel there writes nothing.
  dialogs.answerSaveFile(path("graph"), 1).answerMessage(Answer::No).answerSaveFile(QString());
  m().mnuExport[3].second->trigger();
  const auto& asked = dialogs.asked();
  ASSERT_EQ(asked.size(), 3u);
  EXPECT_TRUE(asked[1].text.contains(path("graph.png")));
  EXPECT_EQ(asked[1].buttons, Buttons::YesNo);
  EXPECT_EQ(asked[2].file.initialName, path("graph.png"));
  EXPECT_EQ(asked[2].file.selectedFilter, 1);
  EXPECT_EQ(contents(path("graph.png")), QByteArray("keep me"));
  // Yes: replaced.
  dialogs.answerSaveFile(path("graph"), 1).answerMessage(Answer::Yes);
  m().mnuExport[3].second->trigger();
  EXPECT_TRUE(contents(path("graph.png")).startsWith("\x89PNG"));
}

TEST_F(DocumentsWindowTest, TheLightStyleIsChosenInTheExportDialog) {
  open();
  record(3);
  dialogs.answerSaveFile(path("shown.png"), 1, 0).answerSaveFile(path("light.png"), 1, 1);
  m().mnuExport[3].second->trigger();
  m().mnuExport[3].second->trigger();
  const QImage shown(path("shown.png")), light(path("light.png"));
  ASSERT_FALSE(shown.isNull());
  ASSERT_FALSE(light.isNull());
  const QPoint middle(shown.width() / 2, shown.height() / 2);
  EXPECT_EQ(light.pixel(middle), qRgb(255, 255, 255));
  EXPECT_NE(shown.pixel(middle), qRgb(255, 255, 255));
}

TEST_F(DocumentsWindowTest, TheConverterDrawsWhatTheWindowExportsAtThatSize) {
  open();
  dialogs.answerSaveFile(path("window.png"), 1);
  window->LoadDataFile(qEnvironmentVariable("ZRV_TEST_DATA") + QStringLiteral("/golden.zrv"));
  // The window sized so that its graph is 700 x 450.
  const QSize graph(700, 450);
  window->resize(window->size() + graph - window->graphView().size());
  QApplication::processEvents();
  ASSERT_EQ(window->graphView().size(), graph);
  m().mnuExport[3].second->trigger();
  QProcess convert;
  convert.start(qEnvironmentVariable("ZRV_BIN_DIR") + QStringLiteral("/zrvlog"),
                {QStringLiteral("--convert"),
                 qEnvironmentVariable("ZRV_TEST_DATA") + QStringLiteral("/golden.zrv"),
                 QStringLiteral("--png"), path("converted.png"), QStringLiteral("--size"),
                 QStringLiteral("700x450")});
  ASSERT_TRUE(convert.waitForFinished(60000));
  ASSERT_EQ(convert.exitCode(), 0) << convert.readAllStandardError().toStdString();
  EXPECT_LT(zrvtest::differingShare(QImage(path("window.png")), QImage(path("converted.png"))),
            0.001);
}

TEST_F(DocumentsWindowTest, PrintsToAPdfPrinterAndCopiesToTheClipboard) {
  open();
  record(3);
  const QString pdf = path("printed.pdf");
  dialogs.answerPrint([pdf](QPrinter& printer) {
    printer.setOutputFormat(QPrinter::PdfFormat);
    printer.setOutputFileName(pdf);
  });
  window->tbToolBar_ButtonClick(QStringLiteral("Print"));
  EXPECT_TRUE(contents(pdf).startsWith("%PDF"));
  // The printed page keeps its text: labels, legend names.
  const QString text = zrvtest::pdfText(pdf).simplified();
  for (const char* word : {"Channel 1", "Channel 5", "0.0 V", "5.0 V", "0.0", "100.0"})
    EXPECT_TRUE(text.contains(QLatin1String(word))) << word << " in " << text.toStdString();
  EXPECT_TRUE(zrvtest::fontsEmbedded(pdf));
  ASSERT_TRUE(dialogs.asked().back().file.choice.has_value()) << "the style is offered";
  dialogs.answerPrint(false);
  m().mnuFilePrint->trigger();

  QApplication::clipboard()->clear();
  window->tbToolBar_ButtonClick(QStringLiteral("Copy"));
  const QImage copied = QApplication::clipboard()->image();
  EXPECT_FALSE(copied.isNull());
  EXPECT_GT(copied.width(), 100);
}

}  // namespace
}  // namespace zrvlog
