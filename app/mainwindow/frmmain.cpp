#include "frmmain.h"

#include <QAction>
#include <QActionGroup>
#include <QApplication>
#include <QCloseEvent>
#include <QDate>
#include <QLabel>
#include <QLoggingCategory>
#include <QMenuBar>
#include <QRegularExpression>
#include <QScreen>
#include <QStatusBar>
#include <QStyle>
#include <QTime>
#include <QTimer>
#include <QToolBar>
#include <algorithm>
#include <cmath>

#include "app/acquisition/boardcontrol.h"
#include "app/acquisition/zrviolink.h"
#include "app/appinfo/appinfo.h"
#include "app/dialogs/dialogs.h"
#include "app/graph/graphmodel.h"
#include "app/graphview/graphview.h"
#include "app/mainwindow/elidedlabel.h"
#include "app/mainwindow/icons.h"
#include "app/outputs/livepublish.h"
#include "app/outputs/outputs.h"
#include "app/recovery/journalrecovery.h"
#include "app/recovery/runjournal.h"
#include "app/settings/storedsettings.h"
#include "app/store/samplestore.h"
#include "app/timer/precisiontimer.h"
#include "common/automationdate.h"
#include "common/automationerror.h"
#include "common/counted.h"
#include "common/numberformat.h"

Q_LOGGING_CATEGORY(lcMain, "zrvlog.main", QtWarningMsg)

namespace zrvlog {

namespace {

using zrv::Variant;

// The unit a Y label format puts after its number ("%g V" gives " V"), for read-outs.
QString valueUnit(const QString& format) {
  static const QRegularExpression conversion(QStringLiteral("%[-+ #0]*\\d*(\\.\\d+)?[fgeEG]"));
  const QRegularExpressionMatch m = conversion.match(format);
  if (!m.hasMatch()) return {};
  const QString after = format.mid(m.capturedEnd()).trimmed();
  return after.isEmpty() ? QString() : QLatin1Char(' ') + after;
}

// The toolbar, left to right: key, tooltip, icon. Separators go before the keys marked.
struct ToolButton {
  const char* key;
  const char* tooltip;
  ToolIcon icon;
  bool separatorBefore;
};
constexpr ToolButton kToolButtons[] = {
    {"New", "New", ToolIcon::New, false},          {"Open", "Open", ToolIcon::Open, false},
    {"Save", "Save", ToolIcon::Save, false},       {"Print", "Print", ToolIcon::Print, true},
    {"Copy", "Copy", ToolIcon::Copy, false},       {"Run", "Start/Stop", ToolIcon::Run, true},
    {"Props", "Options", ToolIcon::Options, true},
};

// The share of the screen's free area a first window takes.
constexpr double kFirstWindowShare = 0.7;

// Makes a panel at least as wide as text needs.
void fitText(QLabel* panel, const QString& text) {
  const QFontMetrics metrics = panel->fontMetrics();
  panel->setMinimumWidth(metrics.horizontalAdvance(text) + 2 * panel->frameWidth() +
                         metrics.averageCharWidth());
}

double logicalDpi(const QWidget* widget) {
  const QScreen* screen = widget->screen() ? widget->screen() : QGuiApplication::primaryScreen();
  return screen ? screen->logicalDotsPerInch() : 96.0;
}

}  // namespace

frmMain::frmMain(MainWindowParts parts, QWidget* parent)
    : QMainWindow(parent),
      m_dialogs(parts.dialogs),
      m_stored(parts.storedSettings),
      m_board(parts.board ? std::move(parts.board) : std::make_unique<ZrvioLink>()),
      m_timer(parts.timer ? std::move(parts.timer) : std::make_unique<PrecisionTimer>()),
      m_graph(std::make_unique<GraphModel>()),
      m_journalFolder(parts.journalFolder.isEmpty() ? RunJournal::defaultFolder()
                                                    : parts.journalFolder) {
  Q_ASSERT(m_dialogs && m_stored);
  setObjectName(QStringLiteral("frmMain"));
  setWindowTitle(kAppTitle + QStringLiteral("[*]"));
  m_engine = std::make_unique<AcquisitionEngine>(*m_graph, *m_board, *m_timer);
  m_journal = std::make_unique<RunJournal>(*m_engine, m_journalFolder);
  connect(m_journal.get(), &RunJournal::failed, this, [this](const QString& message) {
    doerr(QStringLiteral("The samples are no longer copied to the recovery journal, so a crash "
                         "would lose them.\n\n%1\n\nThe run goes on; save it when it ends.")
              .arg(message));
  });
  m_view = new GraphView(*m_graph, *m_dialogs, this);
  m_view->setObjectName(QStringLiteral("NTGraph1"));
  // Drawing waits for the gap after a tick rather than delaying the next one.
  m_view->setTickDeadlineSource([this] { return m_timer->nextDeadline(); });
  setCentralWidget(m_view);

  buildMenus();
  buildToolBar();
  buildStatusBar();
  connectEngine();
  connect(m_view, &GraphView::cursorPosition, this, &frmMain::NTGraph1_CursorPosition);
  initDocumentCommands();
  initOptionsCommands();
  initHelpCommands();
  initPublishing();
  showRunState(false);
}

frmMain::~frmMain() {
  // A window destroyed without being closed still leaves the board and the timer idle.
  if (m_engine->running()) m_engine->stopRun();
  // The journal lets go of its files before the engine it reads goes.
  m_journal.reset();
}

// ---- Construction --------------------------------------------------------------------------

void frmMain::buildMenus() {
  Menus& m = m_menus;
  QMenuBar* bar = menuBar();
  const auto item = [this](QMenu* menu, const char* name, const QString& caption,
                           void (frmMain::*handler)() = nullptr) {
    QAction* action = menu->addAction(caption);
    action->setObjectName(QString::fromLatin1(name));
    if (handler) connect(action, &QAction::triggered, this, handler);
    return action;
  };

  m.mnuFile = bar->addMenu(QStringLiteral("&File"));
  m.mnuFile->setObjectName(QStringLiteral("mnuFile"));
  m.mnuFileNew = item(m.mnuFile, "mnuFileNew", QStringLiteral("&New"));
  const auto keys = [](QAction* action, const char* sequence) {
    action->setShortcut(QKeySequence(QString::fromLatin1(sequence)));
  };
  keys(m.mnuFileNew, "Ctrl+N");
  m.mnuFileOpen = item(m.mnuFile, "mnuFileOpen", QStringLiteral("&Open..."));
  keys(m.mnuFileOpen, "Ctrl+O");
  m.mnuFile->addSeparator();
  m.mnuFileSave = item(m.mnuFile, "mnuFileSave", QStringLiteral("&Save"));
  keys(m.mnuFileSave, "Ctrl+S");
  m.mnuFileSaveAs = item(m.mnuFile, "mnuFileSaveAs", QStringLiteral("Save &As..."));
  keys(m.mnuFileSaveAs, "Ctrl+Shift+S");
  m.mnuFile->addSeparator();
  m.mnuFileExport = m.mnuFile->addMenu(QStringLiteral("&Export"));
  m.mnuFileExport->setObjectName(QStringLiteral("mnuFileExport"));
  // One item per export of the output registry: mnuExportCSV, mnuExportBMP...
  for (const OutputFormat& format : outputFormats()) {
    if (!format.menuText) continue;
    const QByteArray name = "mnuExport" + QByteArray(format.id).toUpper();
    m.mnuExport.push_back(
        {&format, item(m.mnuFileExport, name.constData(), QString::fromLatin1(format.menuText))});
  }
  m.mnuExportCSV = m.exportItem(csvFormat());
  m.mnuExportBMP = m.exportItem(pictureFormats().front());
  m.mnuFilePrint = item(m.mnuFile, "mnuFilePrint", QStringLiteral("&Print..."));
  keys(m.mnuFilePrint, "Ctrl+P");
  m.mnuFile->addSeparator();
  for (int i = 1; i <= 4; ++i) {
    m.mnuFileMRU[i] = item(m.mnuFile, "mnuFileMRU", QString());
    m.mnuFileMRU[i]->setVisible(false);
  }
  m.mnuFileBar5 = m.mnuFile->addSeparator();
  m.mnuFileBar5->setVisible(false);
  m.mnuFileExit =
      item(m.mnuFile, "mnuFileExit", QStringLiteral("E&xit"), &frmMain::mnuFileExit_Click);
  keys(m.mnuFileExit, "Ctrl+Q");

  m.mnuEdit = bar->addMenu(QStringLiteral("&Edit"));
  m.mnuCopy = item(m.mnuEdit, "mnuCopy", QStringLiteral("&Copy"));
  m.mnuCopy->setShortcut(QKeySequence(QStringLiteral("Ctrl+C")));

  m.mnuCursor = bar->addMenu(QStringLiteral("&Cursor"));
  m.mnuCursor->setObjectName(QStringLiteral("mnuCursor"));
  connect(m.mnuCursor, &QMenu::aboutToShow, this, &frmMain::mnuCursor_Click);
  m.mnuNormCursor =
      item(m.mnuCursor, "mnuNormCursor", QStringLiteral("&Normal"), &frmMain::mnuNormCursor_Click);
  m.mnuTrack = item(m.mnuCursor, "mnuTrack", QStringLiteral("&Track"), &frmMain::mnuTrack_Click);
  m.mnuZoom = item(m.mnuCursor, "mnuZoom", QStringLiteral("&Zoom"), &frmMain::mnuZoom_Click);
  m.mnuPan = item(m.mnuCursor, "mnuPan", QStringLiteral("&Pan"), &frmMain::mnuPan_Click);
  m.grpCursor = new QActionGroup(this);
  for (QAction* a : {m.mnuNormCursor, m.mnuTrack, m.mnuZoom, m.mnuPan}) {
    a->setCheckable(true);
    m.grpCursor->addAction(a);
  }
  m.mnuNormCursor->setChecked(true);

  m.mnuData = bar->addMenu(QStringLiteral("&Data"));
  m.mnuDataStart = item(m.mnuData, "mnuDataStart", QStringLiteral("&Start Acquisition"),
                        &frmMain::mnuDataStart_Click);
  m.mnuDataStart->setShortcut(QKeySequence(Qt::Key_F9));
  m.mnuDataStop = item(m.mnuData, "mnuDataStop", QStringLiteral("Sto&p Acquisition"),
                       &frmMain::mnuDataStop_Click);
  m.mnuDataStop->setShortcut(QKeySequence(Qt::SHIFT | Qt::Key_F9));
  m.mnuDataStop->setEnabled(false);
  m.mnuData->addSeparator();
  m.mnuAutorange =
      item(m.mnuData, "mnuAutorange", QStringLiteral("&Autorange"), &frmMain::mnuAutorange_Click);
  m.mnuAutorange->setCheckable(true);
  m.mnuQuickRaw = item(m.mnuData, "mnuQuickRaw", QStringLiteral("Quickset: &Raw Counts"),
                       &frmMain::mnuQuickRaw_Click);
  m.mnuQuick5V =
      item(m.mnuData, "mnuQuick5V", QStringLiteral("Quickset: 0-&5V"), &frmMain::mnuQuick5V_Click);

  m.mnuView = bar->addMenu(QStringLiteral("&View"));
  m.mnuViewToolbar =
      item(m.mnuView, "mnuViewToolbar", QStringLiteral("&Toolbar"), &frmMain::mnuViewToolbar_Click);
  m.mnuViewStatusBar = item(m.mnuView, "mnuViewStatusBar", QStringLiteral("Status &Bar"),
                            &frmMain::mnuViewStatusBar_Click);
  for (QAction* a : {m.mnuViewToolbar, m.mnuViewStatusBar}) {
    a->setCheckable(true);
    a->setChecked(true);
  }
  m.mnuViewFullScreen = item(m.mnuView, "mnuViewFullScreen", QStringLiteral("Full &Screen"),
                             &frmMain::mnuViewFullScreen_Click);
  m.mnuViewFullScreen->setCheckable(true);
  keys(m.mnuViewFullScreen, "F11");
  m.mnuView->addSeparator();
  // Zooming from the keyboard, and the way back: the graph remembers every zoom, pan and fit.
  m.mnuZoomIn = item(m.mnuView, "mnuZoomIn", QStringLiteral("Zoom &In"));
  m.mnuZoomIn->setShortcuts(
      {QKeySequence(QStringLiteral("Ctrl++")), QKeySequence(QStringLiteral("Ctrl+="))});
  m.mnuZoomOut = item(m.mnuView, "mnuZoomOut", QStringLiteral("Zoom O&ut"));
  keys(m.mnuZoomOut, "Ctrl+-");
  m.mnuZoomFit = item(m.mnuView, "mnuZoomFit", QStringLiteral("Zoom to &Fit"));
  keys(m.mnuZoomFit, "Ctrl+0");
  m.mnuZoomBack = item(m.mnuView, "mnuZoomBack", QStringLiteral("Bac&k"));
  keys(m.mnuZoomBack, "Alt+Left");
  m.mnuZoomForward = item(m.mnuView, "mnuZoomForward", QStringLiteral("For&ward"));
  keys(m.mnuZoomForward, "Alt+Right");
  connect(m.mnuZoomIn, &QAction::triggered, m_view, &GraphView::zoomIn);
  connect(m.mnuZoomOut, &QAction::triggered, m_view, &GraphView::zoomOut);
  connect(m.mnuZoomFit, &QAction::triggered, m_view, &GraphView::zoomToFit);
  connect(m.mnuZoomBack, &QAction::triggered, m_view, &GraphView::zoomBack);
  connect(m.mnuZoomForward, &QAction::triggered, m_view, &GraphView::zoomForward);
  connect(m_view, &GraphView::zoomHistoryChanged, this, &frmMain::showZoomHistory);
  showZoomHistory();
  m.mnuView->addSeparator();
  m.mnuViewRefresh =
      item(m.mnuView, "mnuViewRefresh", QStringLiteral("&Clear"), &frmMain::mnuViewRefresh_Click);
  m.mnuViewOptions = item(m.mnuView, "mnuViewOptions", QStringLiteral("&Options..."));
  m.mnuGraphProps = item(m.mnuView, "mnuGraphProps", QStringLiteral("&Graph Properties..."),
                         &frmMain::mnuGraphProps_Click);
  m.mnuGraphProps->setShortcut(QKeySequence(Qt::Key_F5));

  m.mnuHelp = bar->addMenu(QStringLiteral("&Help"));
  m.mnuHelpContents = item(m.mnuHelp, "mnuHelpContents", QStringLiteral("&Contents"));
  m.mnuHelpContents->setShortcut(QKeySequence(Qt::Key_F1));
  m.mnuSearchForHelpOn = item(m.mnuHelp, "mnuSearchForHelpOn", QStringLiteral("&Search"));
  m.mnuSearchForHelpOn->setShortcut(QKeySequence(Qt::SHIFT | Qt::Key_F1));
  m.mnuHelpAbout = item(m.mnuHelp, "mnuHelpAbout", QStringLiteral("&About "));
}

void frmMain::buildToolBar() {
  m_toolBar = addToolBar(QStringLiteral("Toolbar"));
  m_toolBar->setObjectName(QStringLiteral("tbToolBar"));
  m_toolBar->setMovable(false);
  m_toolBar->setFloatable(false);
  m_toolBar->setIconSize(QSize(24, 24));
  m_toolBar->toggleViewAction()->setVisible(false);  // the View menu owns showing it
  setContextMenuPolicy(Qt::NoContextMenu);
  for (const ToolButton& button : kToolButtons) {
    if (button.separatorBefore) m_toolBar->addSeparator();
    const QString key = QString::fromLatin1(button.key);
    QAction* action = m_toolBar->addAction(toolIcon(button.icon), key);
    action->setObjectName(QStringLiteral("tb") + key);
    action->setData(key);
    action->setToolTip(QString::fromLatin1(button.tooltip));
    connect(action, &QAction::triggered, this, [this, key] { tbToolBar_ButtonClick(key); });
  }
  toolButton(QStringLiteral("Run"))->setCheckable(true);

  auto* spacer = new QWidget(m_toolBar);
  spacer->setSizePolicy(QSizePolicy::Expanding, QSizePolicy::Preferred);
  m_toolBar->addWidget(spacer);
  auto* simulated = new QLabel(QStringLiteral(" Simulated board "), m_toolBar);
  simulated->setObjectName(QStringLiteral("lblSimulated"));
  simulated->setToolTip(
      QStringLiteral("The data come from the built-in simulated board, not from a real one"));
  simulated->setStyleSheet(
      QStringLiteral("QLabel { background: #f4cf6e; color: #30343a; border-radius: 3px;"
                     " padding: 2px 6px; font-weight: bold; }"));
  m_simulatedLabel = m_toolBar->addWidget(simulated);
  m_simulatedLabel->setVisible(false);
}

void frmMain::buildStatusBar() {
  struct StatusPanel {
    const char* key;
    const char* text;
    const char* tooltip;
    int stretch;
  };
  // Panel 2 is twice as wide as panels 1, 4 and 5; panel 3 half as wide as panel 1.
  constexpr StatusPanel kPanels[] = {
      {"Status", "Status", "Recently received data appears here", 4},
      {"Start", "Start", "This panel shows the start time for data acquisition", 8},
      {"", "", "Running time (seconds)", 2},
      {"", "", "Current date", 4},
      {"", "", "Current time", 4},
  };
  QStatusBar* bar = statusBar();
  bar->setObjectName(QStringLiteral("sbStatusBar"));
  bar->setSizeGripEnabled(true);
  const auto panel = [bar](const QString& text, const QString& purpose) {
    auto* label = new ElidedLabel(text, bar);
    label->setToolTip(purpose);
    label->setPurpose(purpose);
    label->setFrameShape(QFrame::StyledPanel);
    label->setFrameShadow(QFrame::Sunken);
    label->setMinimumWidth(20);
    label->setSizePolicy(QSizePolicy::Ignored, QSizePolicy::Preferred);
    return label;
  };
  // Left of the five panels: what the program is doing, in words.
  m_state = panel(QString(), QStringLiteral("What the acquisition is doing"));
  m_state->setObjectName(QStringLiteral("panelState"));
  bar->addPermanentWidget(m_state, 6);
  for (int i = 1; i <= 5; ++i) {
    const StatusPanel& row = kPanels[i - 1];
    ElidedLabel* label = panel(QString::fromLatin1(row.text), QString::fromLatin1(row.tooltip));
    label->setObjectName(QStringLiteral("panel%1").arg(i));
    bar->addPermanentWidget(label, row.stretch);
    m_panels[i] = label;
  }
  m_panels[1]->setDetail([this] { return sampleDetail(); });
  // What a person reads during a run keeps its whole text in the first window; in a window
  // narrower than that, the panels elide and their tooltips hold the rest.
  const QLocale locale;
  fitText(m_state, QStringLiteral("Recording: ") + locale.toString(99999) +
                       QStringLiteral(" samples, 9999.9 s"));
  fitText(m_panels[1], QStringLiteral("Channel 1: 0.000 V"));
  fitText(m_panels[3], QStringLiteral("9999.9 s"));
  const auto showClock = [this] {
    const QLocale locale;
    const QString texts[] = {locale.toString(QDate::currentDate(), QLocale::ShortFormat),
                             locale.toString(QTime::currentTime(), QLocale::ShortFormat)};
    // The date and the time are short: they keep their whole text in a narrow window,
    // where the other panels give way.
    for (int i = 0; i < 2; ++i) {
      QLabel* panel = m_panels[4 + i];
      panel->setText(texts[i]);
      fitText(panel, texts[i]);
    }
  };
  showClock();
  auto* clock = new QTimer(this);
  connect(clock, &QTimer::timeout, this, showClock);
  clock->start(1000);
}

void frmMain::connectEngine() {
  connect(m_engine.get(), &AcquisitionEngine::sampleRecorded, this, &frmMain::showSample);
  connect(m_engine.get(), &AcquisitionEngine::dataReset, this, [this] {
    // Nothing the panels said about the samples holds any more.
    setPanel(1, QString());
    setPanel(2, QString());
    setPanel(3, QString());
    m_lastSampleTime = 0;
    m_lastSample.reset();
    m_view->forgetZoomHistory();
    if (!m_engine->running()) showDataState();
    showRecordedChannels();
    showCaption();
  });
  connect(m_engine.get(), &AcquisitionEngine::tickMissed, this, &frmMain::showRecording);
  // After the missed tick's own text: "Recording: 12 samples, 1.1 s, 5 missed ticks; Waiting
  // for COM3 to come back (12 s)".
  connect(m_engine.get(), &AcquisitionEngine::waitingForPort, this, [this](const QString& status) {
    showRecording();
    m_state->setText(m_state->text() + QStringLiteral("; ") + status);
  });
  connect(m_engine.get(), &AcquisitionEngine::runningChanged, this, [this](bool running) {
    showRunState(running);
    showCaption();
  });
  connect(m_engine.get(), &AcquisitionEngine::autorangeChanged, m_menus.mnuAutorange,
          &QAction::setChecked);
  connect(m_engine.get(), &AcquisitionEngine::runEnded, this,
          [this](RunEnd why, const QString& message) {
            showRunEnded(why);
            if (why == RunEnd::Failed)
              doerr(QStringLiteral("The acquisition has stopped.\n\n") + message);
          });
}

void frmMain::showRecording() {
  QString text = QStringLiteral("Recording: ") +
                 samplesAndTime(m_engine->document().sampleCount(), m_lastSampleTime, ", ");
  // With a stop time, how far the run has come: "2.3 s of 5 s".
  const Variant& stop = m_engine->settings.stopsec;
  if (!stop.isEmptyText()) {
    if (const auto seconds = zrv::parseNumber(stop.toText()); seconds && *seconds > 0) {
      const QString ofStop =
          QStringLiteral(" of ") + zrv::formatGeneral(*seconds) + QStringLiteral(" s");
      const qsizetype at = text.indexOf(QStringLiteral(" s"), text.indexOf(QStringLiteral(", ")));
      if (at >= 0) text.insert(at + 2, ofStop);
    }
  }
  m_state->setText(text);
}

int frmMain::recordedChannels() const {
  return std::clamp<int>(m_engine->settings.ChanLimit, 1, kChannels);
}

int frmMain::valueDecimals(int channel) const {
  // As many decimals as one step of the A/D converter shows: 5 mV gives three, a raw count
  // none. Without a linear coefficient, three.
  double step = 0;
  try {
    step = std::abs(m_engine->data.GetCoef(1, static_cast<int16_t>(channel)).toDouble());
  } catch (const zrv::AutomationError&) {
  }
  if (!(step > 0) || !std::isfinite(step)) return 3;
  return std::clamp(int(std::ceil(-std::log10(step) - 1e-9)), 0, 6);
}

QString frmMain::channelValue(int channel, double value) const {
  const QString unit = valueUnit(m_graph->property(GraphMember::LabelFormatY).toText());
  return QLocale().toString(value, 'f', valueDecimals(channel)) + unit;
}

void frmMain::showRecordedChannels() {
  m_view->setRecordedElements(recordedChannels());
}

QString frmMain::samplesAndTime(std::size_t samples, double lastTime, const char* joiner) const {
  // The time of the last sample: "20.0 s".
  const QLocale locale;
  QString text = zrv::counted(samples, QStringLiteral("sample"), locale);
  text += QLatin1String(joiner) + zrv::formatPattern(lastTime, u"0.0") + QStringLiteral(" s");
  if (const int64_t missed = m_engine->missedTicks(); missed > 0)
    text += QStringLiteral(", ") + zrv::counted(missed, QStringLiteral("missed tick"), locale);
  return text;
}

void frmMain::showRunEnded(RunEnd why) {
  const std::size_t samples = m_engine->document().sampleCount();
  const QString text = samplesAndTime(samples, m_lastSampleTime, " in ");
  switch (why) {
    case RunEnd::StopTimeReached:
      m_state->setText(QStringLiteral("Finished: ") + text);
      break;
    case RunEnd::Stopped:
      m_state->setText(QStringLiteral("Stopped: ") + text);
      break;
    case RunEnd::Failed:
      m_state->setText(QStringLiteral("Stopped by an error: ") + text);
      break;
  }
}

void frmMain::showDataState() {
  const std::size_t samples = m_engine->document().sampleCount();
  m_state->setText(samples == 0 ? QStringLiteral("No samples")
                                : samplesAndTime(samples, m_lastSampleTime, ", "));
}

QString frmMain::stateText() const {
  return m_state->text();
}

QString frmMain::panelToolTip(int panel) const {
  return m_panels[panel]->toolTipText();
}

void frmMain::showSample(const SampleReport& report) {
  showRecordedChannels();
  QString text;
  if (report.overrun) {
    text = QStringLiteral("Timing overrun!");
  } else {
    // Each recorded channel by name, with its unit; the jitter is in the tooltip.
    QStringList values;
    for (int c = 0; c < recordedChannels(); ++c)
      values << m_graph->itemValue(GraphMember::ElementLabel, c).toText() + QStringLiteral(": ") +
                    channelValue(c, report.values[c]);
    text = values.join(QStringLiteral("   "));
  }
  setPanel(1, text);
  // The values keep their whole text as far as the other panels leave room; the start time
  // gives way first, and the tooltip holds the rest.
  fitText(m_panels[1], text);
  int others = m_state->minimumWidth();
  for (int i = 2; i <= 5; ++i)
    others += m_panels[i]->minimumWidth() + 2 * m_panels[i]->frameWidth() + 6;
  const int room = std::max(120, statusBar()->width() - others - 40);
  m_panels[1]->setMinimumWidth(std::min(m_panels[1]->minimumWidth(), room));
  if (report.first) setPanel(2, zrv::formatGeneralDate(report.tickStart));
  setPanel(3, zrv::formatPattern(report.sampleTime, u"0.0") + QStringLiteral(" s"));
  m_lastSampleTime = report.sampleTime;
  m_lastSample = report;
  showRecording();
  if (!isWindowModified()) showCaption();
}

QString frmMain::sampleDetail() const {
  if (!m_lastSample) return {};
  const SampleReport& report = *m_lastSample;
  QStringList lines;
  for (int c = 0; c < recordedChannels(); ++c)
    lines << QStringLiteral("%1: %2").arg(m_graph->itemValue(GraphMember::ElementLabel, c).toText(),
                                          channelValue(c, report.values[c]));
  lines << QStringLiteral("Jitter: %1 ms%2")
               .arg(report.jitter)
               .arg(report.overrun ? QStringLiteral(" (timing overrun)") : QString());
  return lines.join(QLatin1Char('\n'));
}

QAction* frmMain::toolButton(const QString& key) const {
  for (QAction* action : m_toolBar->actions())
    if (action->data().toString() == key) return action;
  return nullptr;
}

QString frmMain::panelText(int panel) const {
  return m_panels[panel]->text();
}

void frmMain::setPanel(int panel, const QString& text) {
  m_panels[panel]->setText(text);
}

void frmMain::setSimulatedBoard(bool simulated) {
  m_simulatedLabel->setVisible(simulated);
}

void frmMain::doerr(const QString& msg) {
  m_dialogs->message(this, msg, QStringLiteral("Error"), Buttons::Ok, Icon::None);
}

void frmMain::msgBox(const QString& text) {
  m_dialogs->message(this, text, kAppTitle, Buttons::Ok, Icon::None);
}

// ---- Start-up and shutdown ---------------------------------------------------------------

void frmMain::Form_Load() {
  try {
    m_board->setCommPort(m_stored->comPort());
  } catch (const zrv::AutomationError& e) {
    // A stored number the board control refuses is as good as none.
    qCWarning(lcMain) << "stored port refused, using COM1:" << e.message();
    m_board->setCommPort(kDefaultComPort);
  }
  placeWindow();
  restoreRecentFiles();
  m_engine->applyStartUpDefaults();
  applyUserDefaults();
  restartPublishing();
}

void frmMain::placeWindow() {
  const QScreen* screen = this->screen() ? this->screen() : QGuiApplication::primaryScreen();
  const QRect available = screen ? screen->availableGeometry() : QRect(0, 0, 1024, 768);
  // A first start opens at a comfortable share of the screen, centred.
  const auto centred = [&](QSize size) {
    setGeometry(QStyle::alignedRect(Qt::LeftToRight, Qt::AlignCenter,
                                    size.boundedTo(available.size()), available));
  };
  if (!m_stored->hasMainGeometry()) {
    centred(available.size() * kFirstWindowShare);
    return;
  }
  const TwipsGeometry g = m_stored->mainGeometry();
  const double dpi = logicalDpi(this);
  const QRect stored(twipsToPixels(g.left, dpi), twipsToPixels(g.top, dpi),
                     twipsToPixels(g.width, dpi), twipsToPixels(g.height, dpi));
  // A place on a screen that is no longer there would leave the window out of reach.
  if (available.intersects(stored))
    setGeometry(stored);
  else
    centred(stored.size());
}

void frmMain::closeEvent(QCloseEvent* event) {
  if (!Form_Unload()) {
    event->ignore();
    return;
  }
  event->accept();
}

void frmMain::changeEvent(QEvent* event) {
  QMainWindow::changeEvent(event);
  // The window manager may end full screen too.
  if (event->type() == QEvent::WindowStateChange)
    m_menus.mnuViewFullScreen->setChecked(isFullScreen());
}

bool frmMain::Form_Unload() {
  if (m_unloaded) return true;
  // Cancel, or a save that failed, keeps the window and its samples (and a run goes on).
  const Answer answer = SaveIfChanged(true);
  if (answer == Answer::Cancel) return false;
  m_unloaded = true;
  // The timer and the link are idle before anything else goes.
  if (m_engine->running()) mnuDataStop_Click();
  // Saved, or thrown away on purpose: the journal has done its work. Otherwise it stays and
  // the next start offers the samples again.
  if (!m_engine->data.DataChanged || answer == Answer::No) m_journal->discard();
  if (!isMinimized()) {
    const double dpi = logicalDpi(this);
    const QRect r = geometry();
    m_stored->setMainGeometry({pixelsToTwips(r.x(), dpi), pixelsToTwips(r.y(), dpi),
                               pixelsToTwips(r.width(), dpi), pixelsToTwips(r.height(), dpi)});
    m_stored->sync();
  }
  return true;
}

void frmMain::mnuFileExit_Click() {
  close();
}

// ---- Runs --------------------------------------------------------------------------------

void frmMain::showRunState(bool running) {
  m_menus.mnuDataStop->setEnabled(running);
  m_menus.mnuDataStart->setEnabled(!running);
  QAction* run = toolButton(QStringLiteral("Run"));
  run->setChecked(running);
  run->setIcon(toolIcon(running ? ToolIcon::Stop : ToolIcon::Run));
  if (running) showRecording();
}

void frmMain::mnuDataStart_Click() {
  startAcquisition();
}

void frmMain::startAcquisition() {
  if (SaveIfChanged() == Answer::Cancel) {
    showRunState(false);  // the toolbar button toggled itself
    return;
  }
  toolButton(QStringLiteral("Run"))->setChecked(true);
  // The run replaces the samples on screen: they are no longer those of the file they came
  // from, so a Save must not write over it.
  setUntitled();
  try {
    m_engine->startRun();
  } catch (const zrv::AutomationError& e) {
    showRunState(false);
    doerr(startFailure(e));
  }
}

QString frmMain::startFailure(const zrv::AutomationError& e) const {
  const QString port = QStringLiteral("COM%1").arg(m_board->CommPort());
  const QString device = m_board->deviceName();
  const QString choose = QStringLiteral("choose the board's port in Options > ZRV");
  // The device is the user's to fix: say which one, what is wrong with it, and where to go.
  switch (e.number()) {
    case zrv::err::kPortInvalid:
      return QStringLiteral("%1 is %2, which does not exist: %3.\n\n(%4)")
          .arg(port, device, choose, e.message());
    case zrv::err::kPortUnavailable:
      return QStringLiteral(
                 "%1 is %2, which cannot be opened: it may be in use by another "
                 "program, or your user may need to be in the \"dialout\" group. "
                 "Otherwise %3.\n\n(%4)")
          .arg(port, device, choose, e.message());
    default:
      return QStringLiteral("The acquisition could not start.\n\n") + e.message();
  }
}

void frmMain::mnuDataStop_Click() {
  m_engine->stopRun();
}

void frmMain::tbToolBar_ButtonClick(const QString& key) {
  const auto trigger = [](QAction* action) {
    if (action->isEnabled()) action->trigger();
  };
  if (key == QLatin1String("New")) {
    trigger(m_menus.mnuFileNew);
  } else if (key == QLatin1String("Open")) {
    trigger(m_menus.mnuFileOpen);
  } else if (key == QLatin1String("Save")) {
    trigger(m_menus.mnuFileSave);
  } else if (key == QLatin1String("Print")) {
    trigger(m_menus.mnuFilePrint);
  } else if (key == QLatin1String("Copy")) {
    trigger(m_menus.mnuCopy);
  } else if (key == QLatin1String("Run")) {
    if (m_engine->running()) {
      mnuDataStop_Click();
      return;
    }
    startAcquisition();
  } else if (key == QLatin1String("Props")) {
    trigger(m_menus.mnuViewOptions);
  }
}

// ---- View menu ---------------------------------------------------------------------------

void frmMain::mnuViewToolbar_Click() {
  m_toolBar->setVisible(m_menus.mnuViewToolbar->isChecked());
}

void frmMain::mnuViewStatusBar_Click() {
  statusBar()->setVisible(m_menus.mnuViewStatusBar->isChecked());
}

void frmMain::mnuViewRefresh_Click() {
  // Clearing throws the samples away, as New does: offer to keep them first. A run goes on,
  // and what it records from now on is unsaved again.
  if (SaveIfChanged() == Answer::Cancel) return;
  setUntitled();
  m_engine->ClearAll();
  showCaption();
}

void frmMain::mnuGraphProps_Click() {
  m_view->propertyDialog();
}

void frmMain::mnuViewFullScreen_Click() {
  setWindowState(m_menus.mnuViewFullScreen->isChecked() ? windowState() | Qt::WindowFullScreen
                                                        : windowState() & ~Qt::WindowFullScreen);
}

void frmMain::showZoomHistory() {
  m_menus.mnuZoomBack->setEnabled(m_view->canZoomBack());
  m_menus.mnuZoomForward->setEnabled(m_view->canZoomForward());
}

// ---- Cursor and Data menus -----------------------------------------------------------------

void frmMain::mnuCursor_Click() {
  const std::pair<CursorMode, QAction*> items[] = {{CursorMode::Normal, m_menus.mnuNormCursor},
                                                   {CursorMode::Track, m_menus.mnuTrack},
                                                   {CursorMode::Zoom, m_menus.mnuZoom},
                                                   {CursorMode::Pan, m_menus.mnuPan}};
  const auto mode = cursorModeOf(m_graph->property(GraphMember::CursorMode).toLong());
  for (const auto& [itemMode, action] : items)
    action->setChecked(itemMode == mode);
}

void frmMain::setCursorMode(CursorMode mode) {
  m_graph->setProperty(GraphMember::CursorMode, Variant(static_cast<int32_t>(mode)));
  mnuCursor_Click();
}

void frmMain::mnuNormCursor_Click() {
  setCursorMode(CursorMode::Normal);
}
void frmMain::mnuTrack_Click() {
  setCursorMode(CursorMode::Track);
}
void frmMain::mnuZoom_Click() {
  setCursorMode(CursorMode::Zoom);
}
void frmMain::mnuPan_Click() {
  setCursorMode(CursorMode::Pan);
}

void frmMain::mnuAutorange_Click() {
  m_engine->setAutorange(m_menus.mnuAutorange->isChecked());
}

void frmMain::mnuQuickRaw_Click() {
  m_engine->quickset(Quickset::RawCounts);
}

void frmMain::mnuQuick5V_Click() {
  m_engine->quickset(Quickset::Volts0To5);
}

void frmMain::NTGraph1_CursorPosition(double x, double /*y*/) {
  // The read-out shows what it can: a step that fails is left out, never reported.
  QString text;
  const auto attempt = [](auto&& step) {
    try {
      step();
    } catch (const zrv::AutomationError&) {
    }
  };
  if (!(x > m_engine->data.SampleTime.toDouble())) {
    double cursorX = x;
    attempt([&] {
      cursorX = m_graph->property(GraphMember::CursorPosX).toDouble();
      text = QStringLiteral("X=") + zrv::formatPattern(cursorX, u"0.0") + QStringLiteral(" s");
    });
    // Only the channels recorded: the others hold no readings.
    for (int c = 0; c < recordedChannels(); ++c) {
      attempt([&] {
        const int32_t point = zrv::roundToInt32(cursorX * (1000.0 / m_engine->GetTimerInt()));
        const double y = m_engine->document().store().value(c, std::size_t(uint32_t(point)));
        text += QStringLiteral(" Ch%1=").arg(c + 1) + channelValue(c, y);
      });
    }
  }
  m_view->setToolTipText(text);
}

}  // namespace zrvlog
