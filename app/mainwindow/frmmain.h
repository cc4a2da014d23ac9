#pragma once
// frmMain: the main window. It holds the board control, the graph, the sampling timer and
// the acquisition engine for its whole life, and is a view over the engine: menus, the
// toolbar, the five status-bar panels and the graph. Handlers carry the names people who
// know the program use for them (mnuDataStart_Click, Timer1_Timer, ...).
//
// The document commands (File and Edit menus), the options dialog and the help commands
// live in frmmain_documents.cpp, frmmain_options.cpp and frmmain_help.cpp.

#include <QMainWindow>
#include <QMap>
#include <QPointer>
#include <memory>
#include <optional>
#include <vector>

#include "app/acquisition/boardcontrol.h"
#include "app/acquisition/engine.h"
#include "app/dialogs/dialogs.h"
#include "app/graph/cursormode.h"
#include "app/timer/samplingtimer.h"

namespace zrv {
class AutomationError;
}

class QAction;
class QActionGroup;
class QLabel;
class QMenu;
class QToolBar;

namespace zrvlog {

class Dialogs;
class GraphModel;
class RunJournal;
class ElidedLabel;
class GraphView;
class LivePublisher;
class StoredSettings;
struct OutputFormat;

/// What the main window is built from. The board and the timer default to the real ones;
/// tests pass fakes. Dialogs and settings are not owned and must outlive the window.
struct MainWindowParts {
  Dialogs* dialogs = nullptr;
  StoredSettings* storedSettings = nullptr;
  std::unique_ptr<BoardControl> board;
  std::unique_ptr<SamplingTimer> timer;
  /// Where runs are journalled for recovery; empty: the user's data folder.
  QString journalFolder;
};

class frmMain : public QMainWindow {
  Q_OBJECT

 public:
  explicit frmMain(MainWindowParts parts, QWidget* parent = nullptr);
  ~frmMain() override;

  /// The load handler: timer, stored port and geometry, recent files, graph and settings
  /// defaults, the 0-5 V quick range. Runs once, before the window is first shown.
  void Form_Load();

  AcquisitionEngine& engine() { return *m_engine; }
  GraphModel& NTGraph1() { return *m_graph; }
  GraphView& graphView() { return *m_view; }
  Dialogs& dialogs() { return *m_dialogs; }
  StoredSettings& storedSettings() { return *m_stored; }

  /// The error box: the message, an OK button, no icon, titled "Error".
  void doerr(const QString& msg);
  /// A message box titled with the application title.
  void msgBox(const QString& text);

  /// Marks the program as working on the simulated board (demo mode), visibly.
  void setSimulatedBoard(bool simulated);
  /// At start-up: offers each recording that a process which ended without saving left in
  /// the recovery journal, newest first, until one is recovered (the others wait for the
  /// next start); a recording declined is thrown away.
  void offerRecovery();
  RunJournal& journal() { return *m_journal; }

  // The menus, named as the program's users and its other windows know them.
  struct Menus {
    QMenu* mnuFile;
    QAction *mnuFileNew, *mnuFileOpen, *mnuFileSave, *mnuFileSaveAs;
    QMenu* mnuFileExport;
    QAction *mnuExportCSV, *mnuExportBMP, *mnuFilePrint;
    /// File > Export: an item per export of the output registry, in its order.
    std::vector<std::pair<const OutputFormat*, QAction*>> mnuExport;
    QAction* exportItem(const OutputFormat& format) const {
      for (const auto& [f, action] : mnuExport)
        if (f == &format) return action;
      return nullptr;
    }
    QAction* mnuFileMRU[5];  // 1 to 4; [0] unused
    QAction *mnuFileBar5, *mnuFileExit;
    QMenu* mnuEdit;
    QAction* mnuCopy;
    QMenu* mnuCursor;
    QAction *mnuNormCursor, *mnuTrack, *mnuZoom, *mnuPan;
    QActionGroup* grpCursor;  // the four modes, one checked at a time
    QMenu* mnuData;
    QAction *mnuDataStart, *mnuDataStop, *mnuAutorange, *mnuQuickRaw, *mnuQuick5V;
    QMenu* mnuView;
    QAction *mnuViewToolbar, *mnuViewStatusBar, *mnuViewFullScreen;
    QAction *mnuZoomIn, *mnuZoomOut, *mnuZoomFit, *mnuZoomBack, *mnuZoomForward;
    QAction *mnuViewRefresh, *mnuViewOptions, *mnuGraphProps;
    QMenu* mnuHelp;
    QAction *mnuHelpContents, *mnuSearchForHelpOn, *mnuHelpAbout;
  };
  const Menus& menus() const { return m_menus; }

  QToolBar* tbToolBar() const { return m_toolBar; }
  /// A toolbar button by its key ("New", "Open", "Save", "Print", "Copy", "Run", "Props").
  QAction* toolButton(const QString& key) const;
  /// The text of a status-bar panel (1-5).
  QString panelText(int panel) const;
  /// The tooltip a status-bar panel (1-5) shows now: what it is for, and its whole text when
  /// it is too narrow for it (panel 1: the values with their channels and units).
  QString panelToolTip(int panel) const;
  /// What the acquisition is doing, left of the panels: "Recording: 1,234 samples, 20.5 s",
  /// "Finished: 201 samples in 20.0 s", ...
  QString stateText() const;
  /// What publishing to the broker is doing: "Publishing to lab/bench1", "Broker unreachable:
  /// 1,234 samples waiting"; empty while publishing is off.
  QString publishStatus() const;
  /// Publishes as the stored settings say from now on (after the run, if one is going on).
  void restartPublishing();

 public Q_SLOTS:
  void mnuDataStart_Click();
  void mnuDataStop_Click();
  void mnuFileExit_Click();
  /// The toolbar: runs the command of the button with this key (compared exactly).
  void tbToolBar_ButtonClick(const QString& key);
  void mnuViewToolbar_Click();
  void mnuViewStatusBar_Click();
  void mnuViewRefresh_Click();
  void mnuCursor_Click();
  void mnuNormCursor_Click();
  void mnuTrack_Click();
  void mnuZoom_Click();
  void mnuPan_Click();
  void mnuAutorange_Click();
  void mnuQuickRaw_Click();
  void mnuQuick5V_Click();
  void mnuGraphProps_Click();
  /// View > Full Screen (F11): the window fills the screen, or comes back.
  void mnuViewFullScreen_Click();
  /// The graph's cursor-position event: the track read-out becomes the graph's tooltip.
  void NTGraph1_CursorPosition(double x, double y);
  /// Offers to save unsaved data ("Save file?" with Yes, No and Cancel). Returns the answer
  /// (Ok when there was nothing to save); Cancel also when the save dialog was cancelled or
  /// the save failed: the caller must then leave the data set as it is. stopRun: the caller
  /// replaces the data set, so a run stops once the user has not cancelled.
  Answer SaveIfChanged(bool stopRun = false);

  // --- File and Edit menus, recent files (frmmain_documents.cpp) -----------------------
  void mnuFileNew_Click();
  void mnuFileOpen_Click();
  /// Saves under CurrentFile (Save As while untitled); a failed save changes nothing.
  void mnuFileSave_Click();
  void mnuFileSaveAs_Click();
  void mnuExportCSV_Click();
  /// File > Export > BMP: the picture export with the bitmap format selected.
  void mnuExportBMP_Click();
  /// The picture export: the dialog offers every format and the style; the format is the
  /// one the name's extension names, else the one selected (format first selected).
  void exportPicture(const OutputFormat& format);
  /// Any export of the registry: the picture export for a picture, else the format's own
  /// dialog; written through the safe writer, and any failure shown.
  void exportOutput(const OutputFormat& format);
  void mnuFilePrint_Click();
  void mnuCopy_Click();
  /// A recent-file entry (1-4) was chosen.
  void mnuFileMRU_Click(int Index);
  /// Offers to save (Cancel ends it), stops a run, then loads path. After a failure the data set is
  /// untitled, so that a later Save cannot write over the file that could not be read.
  void LoadDataFile(const QString& path);
  /// Puts path at the top of the recent files (menu and settings store).
  void AddRecentFile(const QString& path);
  /// The caption as shown: the file, and an asterisk while there is something unsaved.
  QString caption() const;
  /// The data file on screen; empty while untitled.
  const QString& CurrentFile() const { return m_engine->data.CurrentFile; }

  // --- Options dialog (frmmain_options.cpp) ---------------------------------------------
  /// View > Options... and the toolbar's Props button: the options dialog, modal to this
  /// window only, so that a run goes on under it.
  void mnuViewOptions_Click();
  /// The settings a start begins with when the user saved them as defaults: the run
  /// settings, the calibration and the unit of the values.
  QMap<QString, QString> userDefaults() const;
  /// Puts the stored defaults in force (nothing when there are none).
  void applyUserDefaults();
  /// The run settings and calibration the program comes with.
  void applyFactoryDefaults();

  // --- Help menu and about box (frmmain_help.cpp) ---------------------------------------
  /// Help > "&Contents" (F1): the help window with its contents list.
  void mnuHelpContents_Click();
  /// Help > "&Search" (Shift+F1): the help window with the keyboard in its search field.
  void mnuSearchForHelpOn_Click();
  /// Help > "&About ": the about box, modal, owned by this window.
  void mnuHelpAbout_Click();
  /// The help window (a frmHelp) once a help command has opened it, else nullptr.
  QMainWindow* helpWindow() const { return m_help; }

 protected:
  void closeEvent(QCloseEvent* event) override;
  void changeEvent(QEvent* event) override;

 private:
  void buildMenus();
  void buildToolBar();
  void buildStatusBar();
  void connectEngine();
  void setCursorMode(CursorMode mode);
  void showRunState(bool running);
  void showSample(const SampleReport& report);
  void showRunEnded(RunEnd why);
  /// The state text for the samples on screen: "N samples, T s" (none: "No samples").
  void showDataState();
  /// After a file was loaded or a recording recovered: the state and the running time.
  void showLoadedData();
  /// The state text during a run: "Recording: N samples, T s".
  void showRecording();
  QString samplesAndTime(std::size_t samples, double lastTime, const char* joiner) const;
  /// The channels the data set holds readings of (ChanLimit); the others are not shown.
  int recordedChannels() const;
  /// The decimals one A/D step of a channel warrants.
  int valueDecimals(int channel) const;
  /// A channel's value for people: "2.350 V".
  QString channelValue(int channel, double value) const;
  /// The graph leaves out the elements of channels not recorded.
  void showRecordedChannels();
  /// Panel 1's tooltip: the latest sample's values with their channels and units.
  QString sampleDetail() const;
  double m_lastSampleTime = 0;               // the nominal time of the latest sample on screen
  std::optional<SampleReport> m_lastSample;  // the latest recorded sample of this data set
  /// Start from the menu, F9 or the toolbar: offers to save, then starts; says why when the
  /// run cannot start.
  void startAcquisition();
  /// Why a run could not start, for people: the port, its device and what to do.
  QString startFailure(const zrv::AutomationError& e) const;
  void setPanel(int panel, const QString& text);
  /// False when the user kept the window (Cancel, or a save that failed).
  bool Form_Unload();
  /// The stored geometry, or a centred share of the screen on a first start.
  void placeWindow();
  // The commands of the File, Edit and Help menus and of the options dialog (own files).
  void initDocumentCommands();
  void initOptionsCommands();
  void initHelpCommands();
  void restoreRecentFiles();

  // --- Document state (frmmain_documents.cpp) -------------------------------------------
  void showRecentFiles();
  void setUntitled();
  /// The caption follows the file name and the unsaved state.
  void showCaption();
  /// File > Save: Save As while untitled. True when the data set was written.
  bool saveCurrent();
  /// The save dialog, then the save. True when the data set was written.
  bool saveAs();
  /// Writes the data set to path; only a save that succeeded names the window after it.
  bool saveTo(const QString& path);
  /// Texts a data file cannot hold: double quotes become single ones, with a warning.
  void replaceQuotes();
  /// Loads path without asking (the question has been answered).
  void loadFile(const QString& path);
  /// A save dialog whose answer is the file to write: a bare name gets the selected filter's
  /// extension, and a file that the added extension names is replaced only when the user
  /// agrees (otherwise the dialog comes back). Empty path: cancelled.
  SaveAnswer askSavePath(FileRequest request);
  /// A name for an export: the data file's, with the extension given; empty while untitled.
  QString suggestedName(const QString& extension) const;
  /// The Back and Forward items follow the graph's zoom history.
  void showZoomHistory();
  std::shared_ptr<class RecentFiles> m_recent;  // shared: the window's header stays light

  // --- Options state (frmmain_options.cpp) ----------------------------------------------

  // --- Help state (frmmain_help.cpp) ----------------------------------------------------
  // The help window, opened by the first help command and kept (hidden when closed).
  QPointer<QMainWindow> m_help;
  // The help window, opened on first use; nullptr (after saying why) without help pages.
  QMainWindow* openHelpWindow();

  Dialogs* m_dialogs;
  StoredSettings* m_stored;
  std::unique_ptr<BoardControl> m_board;
  std::unique_ptr<SamplingTimer> m_timer;
  std::unique_ptr<GraphModel> m_graph;
  std::unique_ptr<AcquisitionEngine> m_engine;
  QString m_journalFolder;
  std::unique_ptr<RunJournal> m_journal;
  GraphView* m_view = nullptr;
  Menus m_menus{};
  QToolBar* m_toolBar = nullptr;
  QAction* m_simulatedLabel = nullptr;
  ElidedLabel* m_panels[6] = {};   // 1 to 5
  ElidedLabel* m_state = nullptr;  // left of panel 1: recording, finished, ...
  bool m_unloaded = false;

  // --- Publishing (frmmain_publish.cpp) -------------------------------------------------
  void initPublishing();
  void showPublishing();
  std::unique_ptr<LivePublisher> m_publisher;  // goes before the engine it listens to
  QString m_publishProblem;                    // why the stored settings cannot publish
  bool m_publishPending = false;               // new settings wait for the run's end
  ElidedLabel* m_publishState = nullptr;
};

}  // namespace zrvlog
