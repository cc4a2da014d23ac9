#include "frmoptions.h"

#include <QApplication>
#include <QCheckBox>
#include <QComboBox>
#include <QGridLayout>
#include <QHBoxLayout>
#include <QHeaderView>
#include <QKeyEvent>
#include <QLabel>
#include <QLineEdit>
#include <QLoggingCategory>
#include <QPlainTextEdit>
#include <QPushButton>
#include <QStandardItemModel>
#include <QTabBar>
#include <QTabWidget>
#include <QTreeView>
#include <QVBoxLayout>
#include <cmath>
#include <optional>

#include "app/acquisition/boardcontrol.h"
#include "app/acquisition/engine.h"
#include "app/appinfo/appinfo.h"
#include "app/dialogs/dialogs.h"
#include "app/documents/settingtable.h"
#include "app/graph/graphmodel.h"
#include "app/options/optionspage.h"
#include "app/options/polygrid.h"
#include "app/options/portdevices.h"
#include "app/settings/storedsettings.h"
#include "board/portmap.h"
#include "common/automationerror.h"
#include "common/numberformat.h"

Q_LOGGING_CATEGORY(lcOptions, "zrvlog.options", QtWarningMsg)

namespace zrvlog {

namespace {

using zrv::Variant;
using M = GraphMember;

constexpr int kPortCount = 9;  // COM1 to COM9

// Numbers go in boxes of about this many characters.
QLineEdit* numberBox(const char* name, QWidget* parent) {
  auto* box = new QLineEdit(parent);
  box->setObjectName(QString::fromLatin1(name));
  box->setMinimumWidth(box->fontMetrics().horizontalAdvance(QStringLiteral("-0.000000000000")));
  box->setSizePolicy(QSizePolicy::Fixed, QSizePolicy::Fixed);
  return box;
}

// The label before a box; the messages about the box name it as the label reads.
QLabel* labelFor(const QString& text, QWidget* buddy, QWidget* parent) {
  auto* label = new QLabel(text, parent);
  label->setBuddy(buddy);
  QString name = text;
  name.remove(QLatin1Char('&'));
  if (name.endsWith(QLatin1Char(':'))) name.chop(1);
  buddy->setProperty("label", name);
  return label;
}

// The unit after a box.
QLabel* unitLabel(const char* text, QWidget* parent) {
  return new QLabel(QString::fromUtf8(text), parent);
}

// A note under a control: smaller, wrapped, in the muted text colour.
QLabel* noteLabel(const char* name, QWidget* parent) {
  auto* label = new QLabel(parent);
  label->setObjectName(QString::fromLatin1(name));
  label->setWordWrap(true);
  QPalette p = label->palette();
  p.setColor(QPalette::WindowText, p.color(QPalette::PlaceholderText));
  label->setPalette(p);
  return label;
}

// A combo box whose drop-down shows a second column beside each item.
QComboBox* twoColumnCombo(QStandardItemModel* model, QWidget* parent) {
  auto* combo = new QComboBox(parent);
  auto* view = new QTreeView(combo);
  view->setHeaderHidden(true);
  view->setRootIsDecorated(false);
  view->setItemsExpandable(false);
  view->setAllColumnsShowFocus(true);
  view->header()->setStretchLastSection(true);
  combo->setModel(model);
  combo->setView(view);
  combo->setModelColumn(0);
  return combo;
}

void fitPopup(QComboBox* combo) {
  auto* view = qobject_cast<QTreeView*>(combo->view());
  if (!view) return;
  int width = 0;
  for (int c = 0; c < combo->model()->columnCount(); ++c) {
    view->resizeColumnToContents(c);
    view->setColumnWidth(c, view->columnWidth(c) + 16);
    width += view->columnWidth(c);
  }
  view->setMinimumWidth(width);
}

// A double rounded to the given number of significant digits.
double toDigits(double value, int digits) {
  return QString::number(value, 'g', digits).toDouble();
}

// Why a text was refused, for the end of a message.
QString notAllowed(const QString& text) {
  if (text.trimmed().isEmpty()) return QStringLiteral("the box is empty");
  return zrv::parseNumber(text) ? QStringLiteral("'%1' is not allowed").arg(text)
                                : QStringLiteral("'%1' is not a number").arg(text);
}

}  // namespace

std::pair<QString, QString> rangeTexts(const Variant& minimum, const Variant& maximum) {
  const auto number = [](const Variant& v) -> std::optional<double> {
    if (v.isText()) return zrv::parseNumber(v.textValue());
    if (v.isNumeric()) return v.toDouble();
    return std::nullopt;
  };
  const auto show = [](const Variant& v, int digits) {
    return v.type() == zrv::VarType::Double ? zrv::formatGeneral(toDigits(v.doubleValue(), digits))
                                            : v.toText();
  };
  const std::optional<double> low = number(minimum), high = number(maximum);
  const double span = low && high ? std::abs(*high - *low) : 0;
  if (!std::isfinite(span) || span == 0) return {show(minimum, 6), show(maximum, 6)};
  // A ten-thousandth of the span is less than a pixel of the axis: rounding within it
  // changes nothing the graph shows, and the rounded maximum stays above the minimum.
  for (int digits = 6; digits < 15; ++digits) {
    const auto rounded = [digits](const Variant& v, double exact) {
      return v.type() == zrv::VarType::Double ? toDigits(exact, digits) : exact;
    };
    const double a = rounded(minimum, *low), b = rounded(maximum, *high);
    const bool near = std::abs(a - *low) <= span / 1e4 && std::abs(b - *high) <= span / 1e4;
    if (near && (b > a || !(*high > *low))) return {show(minimum, digits), show(maximum, digits)};
  }
  return {minimum.toText(), maximum.toText()};
}

QString timerInformation(int32_t resolution, int32_t maximum, int32_t minimum) {
  const QString crlf = QStringLiteral("\r\n");
  return QStringLiteral("Timer Information.") + crlf + QStringLiteral(" Resolution=") +
         QString::number(resolution) + crlf + QStringLiteral(" Maximum=") +
         QString::number(maximum) + crlf + QStringLiteral(" Minimum=") + QString::number(minimum);
}

// ---- Construction --------------------------------------------------------------------------

frmOptions::frmOptions(OptionsHost host, QWidget* owner) : QDialog(owner), m_host(std::move(host)) {
  Q_ASSERT(m_host.engine && m_host.dialogs && m_host.storedSettings);
  setObjectName(QStringLiteral("frmOptions"));
  setWindowTitle(QStringLiteral("Options"));
  // Modal to the main window only: the sampling timer's ticks keep arriving.
  setWindowModality(Qt::WindowModal);

  auto* tabs = new QTabWidget(this);
  m_tabs = tabs->tabBar();
  m_tabs->setObjectName(QStringLiteral("tbsOptions"));
  const QString titles[kPages] = {QStringLiteral("Graph"), QStringLiteral("Sampling"),
                                  QStringLiteral("ZRV"), QStringLiteral("Fit")};
  QWidget* contents[kPages] = {buildGraphPage(), buildSamplingPage(), buildZrvPage(),
                               buildFitPage()};
  for (int i = 0; i < kPages; ++i)
    tabs->addTab(makePage(i, contents[i]), titles[i]);
  if (m_host.morePages) m_more = m_host.morePages();
  for (OptionsPage* page : m_more)
    tabs->addTab(page, page->title());
  for (const auto& [d, box] : m_settingBoxes)
    m_takes.insert(box, QString::fromLatin1(d->takes));

  cmdOK = new QPushButton(QStringLiteral("OK"), this);
  cmdOK->setObjectName(QStringLiteral("cmdOK"));
  cmdOK->setDefault(true);
  cmdCancel = new QPushButton(QStringLiteral("Cancel"), this);
  cmdCancel->setObjectName(QStringLiteral("cmdCancel"));
  cmdApply = new QPushButton(QStringLiteral("&Apply"), this);
  cmdApply->setObjectName(QStringLiteral("cmdApply"));
  connect(cmdOK, &QPushButton::clicked, this, &frmOptions::cmdOK_Click);
  connect(cmdCancel, &QPushButton::clicked, this, &frmOptions::cmdCancel_Click);
  connect(cmdApply, &QPushButton::clicked, this, [this] { cmdApply_Click(); });
  // The run settings and the calibration a start begins with.
  cmdSaveDefaults = new QPushButton(QStringLiteral("Save as &my defaults"), this);
  cmdSaveDefaults->setObjectName(QStringLiteral("cmdSaveDefaults"));
  cmdSaveDefaults->setToolTip(
      QStringLiteral("Applies these settings and starts ZRVLOG with them from now on: the "
                     "sampling settings, channels, averaging, reference and calibration"));
  cmdFactoryDefaults = new QPushButton(QStringLiteral("Restore &factory defaults"), this);
  cmdFactoryDefaults->setObjectName(QStringLiteral("cmdFactoryDefaults"));
  cmdFactoryDefaults->setToolTip(
      QStringLiteral("Forgets your defaults and puts the settings ZRVLOG comes with in force"));
  connect(cmdSaveDefaults, &QPushButton::clicked, this, &frmOptions::cmdSaveDefaults_Click);
  connect(cmdFactoryDefaults, &QPushButton::clicked, this, &frmOptions::cmdFactoryDefaults_Click);

  auto* buttons = new QHBoxLayout;
  buttons->addWidget(cmdSaveDefaults);
  buttons->addWidget(cmdFactoryDefaults);
  buttons->addStretch(1);
  buttons->addWidget(cmdOK);
  buttons->addWidget(cmdCancel);
  buttons->addWidget(cmdApply);
  auto* layout = new QVBoxLayout(this);
  layout->addWidget(tabs);
  layout->addLayout(buttons);
  layout->setSizeConstraint(QLayout::SetFixedSize);

  connect(m_tabs, &QTabBar::currentChanged, this, [this] { tbsOptions_Click(); });
  tbsOptions_Click();
  // The dialog sees key presses before its controls do, for the page switching keys.
  qApp->installEventFilter(this);
}

frmOptions::~frmOptions() {
  qApp->removeEventFilter(this);
}

QWidget* frmOptions::makePage(int index, QWidget* content) {
  auto* page = new QWidget;
  page->setObjectName(QStringLiteral("picOptions"));
  page->setProperty("index", index);
  auto* layout = new QVBoxLayout(page);
  layout->addWidget(content);
  m_pages[index] = page;
  return page;
}

QWidget* frmOptions::buildGraphPage() {
  auto* frame = new QWidget;
  frame->setObjectName(QStringLiteral("fraSample1"));
  frame->setAccessibleName(QStringLiteral("Sample 1"));

  autor = new QCheckBox(QStringLiteral("Autoranging"), frame);
  autor->setObjectName(QStringLiteral("autor"));
  Legend = new QCheckBox(QStringLiteral("Legend"), frame);
  Legend->setObjectName(QStringLiteral("Legend"));
  connect(autor, &QCheckBox::toggled, this, [this] { autor_Click(); });

  // Made in the order they are checked; the tab order below goes down each column.
  MINX = settingBox(SettingId::MinX, frame);
  MAXX = settingBox(SettingId::MaxX, frame);
  MINY = settingBox(SettingId::MinY, frame);
  MAXY = settingBox(SettingId::MaxY, frame);
  XSTEP = settingBox(SettingId::XSteps, frame);
  YSTEP = settingBox(SettingId::YSteps, frame);
  QWidget* const tabOrder[] = {MINX, MAXX, XSTEP, MINY, MAXY, YSTEP};
  for (std::size_t i = 1; i < std::size(tabOrder); ++i)
    QWidget::setTabOrder(tabOrder[i - 1], tabOrder[i]);
  Gset = new QPushButton(QStringLiteral("Graph Setup"), frame);
  Gset->setObjectName(QStringLiteral("Gset"));
  Gset->setAutoDefault(false);
  connect(Gset, &QPushButton::clicked, this, &frmOptions::Gset_Click);

  // Columns: label, box, unit, then the same for Y; the Y column starts halfway across the
  // page, whatever its width. Y is in the calibrated unit, which only the user knows.
  auto* grid = new QGridLayout;
  grid->setHorizontalSpacing(8);
  grid->setColumnMinimumWidth(3, 16);
  grid->setColumnStretch(3, 1);
  grid->setColumnStretch(7, 1);
  grid->addWidget(autor, 0, 0, 1, 3);
  grid->addWidget(Legend, 0, 4, 1, 3);
  grid->setRowMinimumHeight(1, 8);
  const std::pair<QLineEdit*, QLineEdit*> rows[] = {{MINX, MINY}, {MAXX, MAXY}, {XSTEP, YSTEP}};
  int r = 2;
  for (const auto& [x, y] : rows) {
    int column = 0;
    for (QLineEdit* box : {x, y}) {
      grid->addWidget(settingLabel(box, frame), r, column);
      grid->addWidget(box, r, column + 1);
      grid->addWidget(unitLabel(box->property("unit").toByteArray().constData(), frame), r,
                      column + 2);
      column = 4;
    }
    ++r;
  }

  auto* setup = new QHBoxLayout;
  setup->addWidget(Gset);
  setup->addStretch(1);

  auto* layout = new QVBoxLayout(frame);
  layout->setContentsMargins(0, 0, 0, 0);
  layout->addLayout(grid);
  layout->addSpacing(8);
  layout->addLayout(setup);
  layout->addStretch(1);
  return frame;
}

QWidget* frmOptions::buildSamplingPage() {
  auto* frame = new QWidget;
  frame->setObjectName(QStringLiteral("fraSample2"));
  frame->setAccessibleName(QStringLiteral("Sample 2"));

  SampRate = settingBox(SettingId::Interval, frame);
  StopTime = settingBox(SettingId::StopTime, frame);
  TTol = settingBox(SettingId::Tolerance, frame);
  Avg = settingBox(SettingId::Average, frame);
  TFreq = settingBox(SettingId::TimerFrequency, frame);

  auto* grid = new QGridLayout;
  grid->setHorizontalSpacing(8);
  int r = 0;
  for (QLineEdit* box : {SampRate, StopTime, TTol, Avg, TFreq}) {
    grid->addWidget(settingLabel(box, frame), r, 0);
    grid->addWidget(box, r, 1);
    grid->addWidget(unitLabel(box->property("unit").toByteArray().constData(), frame), r, 2);
    ++r;
  }
  grid->setColumnStretch(3, 1);
  m_rateNote = noteLabel("lblRateNote", frame);
  m_rateNote->setText(
      QStringLiteral("A run is going on: its samples are stored at one interval, so the "
                     "interval can be changed between runs."));
  grid->addWidget(m_rateNote, r++, 0, 1, 4);

  TimerStats = new QPlainTextEdit(frame);
  TimerStats->setObjectName(QStringLiteral("TimerStats"));
  TimerStats->setReadOnly(true);
  TimerStats->setFocusPolicy(Qt::NoFocus);
  TimerStats->setLineWrapMode(QPlainTextEdit::NoWrap);
  TimerStats->setHorizontalScrollBarPolicy(Qt::ScrollBarAlwaysOff);
  TimerStats->setVerticalScrollBarPolicy(Qt::ScrollBarAlwaysOff);
  QPalette p = TimerStats->palette();
  p.setColor(QPalette::Base, p.color(QPalette::Button));
  TimerStats->setPalette(p);
  const int lines = 4;
  TimerStats->setFixedHeight(lines * TimerStats->fontMetrics().lineSpacing() +
                             2 * (TimerStats->frameWidth() + 6));

  auto* layout = new QVBoxLayout(frame);
  layout->setContentsMargins(0, 0, 0, 0);
  grid->setRowMinimumHeight(r, 8);
  grid->addWidget(TimerStats, r + 1, 0, 1, 3);
  grid->addWidget(unitLabel("The resolutions are in microseconds.", frame), r + 2, 0, 1, 3);
  layout->addLayout(grid);
  layout->addStretch(1);
  return frame;
}

QWidget* frmOptions::buildZrvPage() {
  auto* frame = new QWidget;
  frame->setObjectName(QStringLiteral("fraSample3"));
  frame->setAccessibleName(QStringLiteral("Sample 3"));

  m_portModel = new QStandardItemModel(kPortCount, 2, this);
  for (int i = 0; i < kPortCount; ++i)
    m_portModel->setItem(i, 0, new QStandardItem(QStringLiteral("COM%1").arg(i + 1)));
  CPort = twoColumnCombo(m_portModel, frame);
  CPort->setObjectName(QStringLiteral("CPort"));
  CPort->setSizeAdjustPolicy(QComboBox::AdjustToContents);
  connect(CPort, &QComboBox::currentIndexChanged, this, [this] { showPortDevice(); });

  cboDevice = new QComboBox(frame);
  cboDevice->setObjectName(QStringLiteral("cboDevice"));
  cboDevice->setEditable(true);
  cboDevice->setInsertPolicy(QComboBox::NoInsert);
  cboDevice->setMinimumContentsLength(24);
  cboDevice->setToolTip(
      QStringLiteral("The device the selected COM port stands for: a serial device, a path "
                     "typed by hand, or sim for the simulated board"));
  connect(cboDevice, &QComboBox::editTextChanged, this, &frmOptions::deviceEdited);
  m_deviceNote = noteLabel("lblDeviceNote", frame);
  m_portNote = noteLabel("lblPortNote", frame);
  m_portNote->hide();

  Chan = settingBox(SettingId::Channels, frame);
  Reconnect = settingBox(SettingId::Reconnect, frame);
  Reconnect->setToolTip(
      QStringLiteral("When the port fails during a run (a USB adapter unplugged), the run waits "
                     "this long for it to come back; 0 ends the run at once"));
  auto* note = new QLabel(
      QStringLiteral("The setting below require a ZRV produced after 1 March 2004. They have no "
                     "effect on earlier models. Contact Corvane if you would like a firmware "
                     "upgrade."),
      frame);
  note->setObjectName(QStringLiteral("lblFirmwareNote"));
  note->setWordWrap(true);

  RefSel = new QComboBox(frame);
  RefSel->setObjectName(QStringLiteral("RefSel"));
  for (const SettingChoice& ref : setting(SettingId::Reference).choices)
    RefSel->addItem(QString::fromLatin1(ref.text), QVariant(int(ref.code)));
  m_refNote = noteLabel("lblRefNote", frame);
  m_refNote->hide();

  auto* grid = new QGridLayout;
  grid->setHorizontalSpacing(8);
  grid->addWidget(labelFor(QStringLiteral("ComPort:"), CPort, frame), 0, 0);
  auto* portRow = new QHBoxLayout;
  portRow->addWidget(CPort);
  portRow->addStretch(1);
  grid->addLayout(portRow, 0, 1);
  grid->addWidget(labelFor(QStringLiteral("Device:"), cboDevice, frame), 1, 0);
  grid->addWidget(cboDevice, 1, 1);
  grid->addWidget(m_deviceNote, 2, 1, 1, 2);
  grid->addWidget(m_portNote, 3, 1, 1, 2);
  grid->addWidget(settingLabel(Reconnect, frame), 4, 0);
  auto* reconnectRow = new QHBoxLayout;
  reconnectRow->addWidget(Reconnect);
  reconnectRow->addWidget(unitLabel(setting(SettingId::Reconnect).unit, frame));
  reconnectRow->addStretch(1);
  grid->addLayout(reconnectRow, 4, 1);
  grid->addWidget(settingLabel(Chan, frame), 5, 0);
  grid->addWidget(Chan, 5, 1, Qt::AlignLeft);
  grid->setRowMinimumHeight(6, 8);
  grid->addWidget(note, 7, 0, 1, 3);
  grid->setRowMinimumHeight(8, 4);
  grid->addWidget(labelFor(QString::fromLatin1(setting(SettingId::Reference).label), RefSel, frame),
                  9, 0);
  auto* refRow = new QHBoxLayout;
  refRow->addWidget(RefSel);
  refRow->addStretch(1);
  grid->addLayout(refRow, 9, 1);
  grid->addWidget(m_refNote, 10, 1, 1, 2);
  grid->setColumnStretch(2, 1);

  auto* layout = new QVBoxLayout(frame);
  layout->setContentsMargins(0, 0, 0, 0);
  layout->addLayout(grid);
  layout->addStretch(1);
  return frame;
}

QWidget* frmOptions::buildFitPage() {
  auto* frame = new QWidget;
  frame->setObjectName(QStringLiteral("fraSample4"));
  frame->setAccessibleName(QStringLiteral("Sample 4"));
  m_grid = new PolyGrid(*m_host.dialogs, frame);
  auto* layout = new QVBoxLayout(frame);
  layout->setContentsMargins(0, 0, 0, 0);
  const char* texts[] = {"Double click a cell to edit. The formula for each channel is:",
                         "X'=a4*X**4+a3*X**3+a2*X**2+a1*X+a0",
                         "Default: a4=a3=a2=a0=0 and a1=4.88758553274682E-03"};
  for (int i = 0; i < 2; ++i) {
    auto* label = new QLabel(QString::fromLatin1(texts[i]), frame);
    label->setObjectName(QStringLiteral("lblFit%1").arg(i + 1));
    layout->addWidget(label);
  }
  layout->addSpacing(4);
  layout->addWidget(m_grid, 1);
  auto* defaults = new QLabel(QString::fromLatin1(texts[2]), frame);
  defaults->setObjectName(QStringLiteral("lblFit3"));
  layout->addWidget(defaults);
  return frame;
}

QLineEdit* frmOptions::settingBox(SettingId id, QWidget* parent) {
  const SettingDescriptor& d = setting(id);
  QLineEdit* box = numberBox(d.field, parent);
  box->setProperty("unit", QByteArray(d.unit));
  m_settingBoxes.append({&d, box});
  return box;
}

QLabel* frmOptions::settingLabel(QLineEdit* box, QWidget* parent) {
  for (const auto& [d, b] : m_settingBoxes)
    if (b == box) return labelFor(QString::fromLatin1(d->label), box, parent);
  return nullptr;
}

QLineEdit* frmOptions::field(const char* name) const {
  return findChild<QLineEdit*>(QString::fromLatin1(name));
}

// ---- Loading ----------------------------------------------------------------------------------

void frmOptions::showEvent(QShowEvent* event) {
  QDialog::showEvent(event);
  if (!m_loaded) Form_Load();
}

void frmOptions::Form_Load() {
  m_loaded = true;
  AcquisitionEngine& engine = *m_host.engine;
  const AcquisitionSettings& s = engine.settings;
  GraphModel& graph = engine.graph();
  BoardControl& board = engine.board();

  autor->setChecked(m_host.autorange && m_host.autorange());
  autor_Click();

  // A reference code the list does not offer shows the board's default and says so; Apply
  // then sets that default, rather than hand the board a code it may not know.
  int refIndex = -1;
  for (int i = 0; i < RefSel->count(); ++i)
    if (RefSel->itemData(i).toInt() == s.RefSel) refIndex = i;
  m_refNote->setVisible(refIndex < 0);
  if (refIndex < 0) {
    m_refNote->setText(QStringLiteral("The reference code %1 is not one of these; Apply sets "
                                      "Vdd, Vss.")
                           .arg(s.RefSel));
    refIndex = 0;
  }
  RefSel->setCurrentIndex(refIndex);
  Legend->setChecked(graph.property(M::LegendOn).toBool());

  for (const auto& [d, box] : m_settingBoxes)
    box->setText(settingText(engine, *d));
  // Zooming and autoranging leave doubles with 15 digits: the boxes show as many as the range
  // needs, and what they show is what Apply sets.
  for (const SettingPair& pair : settingPairs()) {
    const auto [low, high] = rangeTexts(settingValue(engine, setting(pair.minimum)),
                                        settingValue(engine, setting(pair.maximum)));
    field(setting(pair.minimum).field)->setText(low);
    field(setting(pair.maximum).field)->setText(high);
  }
  // A data file holds one interval for all its samples: one changed mid-run would put the
  // later samples at the wrong times when the file is read back.
  SampRate->setReadOnly(engine.running());
  m_rateNote->setVisible(engine.running());
  TimerStats->setPlainText(
      timerInformation(engine.GetTimerRes(), engine.GetTimerResMax(), engine.GetTimerResMin()));

  for (int16_t n = 1; n <= kPortCount; ++n)
    m_loadedDevices[n] = zrv::portmap::resolve(n);
  m_changedDevices.clear();
  cboDevice->blockSignals(true);
  cboDevice->clear();
  m_devices = deviceChoices();
  for (const DeviceChoice& choice : m_devices) {
    cboDevice->addItem(choice.device);
    cboDevice->setItemData(cboDevice->count() - 1, choice.description, Qt::ToolTipRole);
  }
  cboDevice->blockSignals(false);
  // The port cannot change under an open link, nor the device it stands for.
  m_linkOpen = engine.running();
  // A port beyond the list (set by hand in the stored settings) falls back to COM1, and the
  // page says that Apply will switch to it.
  const int16_t port = board.CommPort();
  const bool listed = port >= 1 && port <= kPortCount;
  m_portNote->setVisible(!listed);
  if (!listed)
    m_portNote->setText(
        QStringLiteral("The board is set to COM%1, which this list does not offer.").arg(port) +
        (m_linkOpen ? QString() : QStringLiteral(" Apply sets the port selected here.")));
  CPort->setEnabled(!m_linkOpen);
  cboDevice->setEnabled(!m_linkOpen);
  CPort->setCurrentIndex(listed ? port - 1 : 0);
  showPortDevice();
  fitPopup(CPort);

  m_grid->load(engine.data);

  // A text longer than its box shows its start, where the sign and the leading digits are.
  for (QLineEdit* box : findChildren<QLineEdit*>())
    box->setCursorPosition(0);
  keepOneSize();
}

void frmOptions::keepOneSize() {
  // Every page gets the size of the largest, so that switching pages neither resizes the
  // dialog nor moves its buttons. Wrapped notes need their height at the width they get.
  QSize largest;
  for (QWidget* page : m_pages)
    largest = largest.expandedTo(page->sizeHint());
  for (QWidget* page : m_pages)
    if (page->hasHeightForWidth())
      largest.setHeight(std::max(largest.height(), page->heightForWidth(largest.width())));
  for (QWidget* page : m_pages)
    page->setMinimumSize(largest);
}

// ---- Pages and keys ------------------------------------------------------------------------

int frmOptions::selectedTab() const {
  return m_tabs->currentIndex() + 1;
}

void frmOptions::selectTab(int tab) {
  m_tabs->setCurrentIndex(tab - 1);
  tbsOptions_Click();
}

void frmOptions::tbsOptions_Click() {
  const int shown = selectedTab() - 1;
  for (int i = 0; i < kPages; ++i) {
    m_pages[i]->setVisible(i == shown);
    m_pages[i]->setEnabled(i == shown);
  }
}

bool frmOptions::Form_KeyDown(int key, Qt::KeyboardModifiers shift) {
  if (key != Qt::Key_Tab && key != Qt::Key_Backtab) return false;
  if (!(shift & Qt::ControlModifier)) return false;
  // Qt reports Shift+Tab as Backtab; either way it goes backwards.
  const bool back = (shift & Qt::ShiftModifier) || key == Qt::Key_Backtab;
  const int i = selectedTab();
  const int last = m_tabs->count();
  selectTab(back ? (i == 1 ? last : i - 1) : (i == last ? 1 : i + 1));
  return true;
}

bool frmOptions::eventFilter(QObject* watched, QEvent* event) {
  if (event->type() == QEvent::KeyPress && watched->isWidgetType() &&
      static_cast<QWidget*>(watched)->window() == this) {
    const auto* key = static_cast<QKeyEvent*>(event);
    if (Form_KeyDown(key->key(), key->modifiers())) return true;
  }
  return QDialog::eventFilter(watched, event);
}

void frmOptions::autor_Click() {
  const bool manual = !autor->isChecked();
  for (QLineEdit* box : {MINX, MINY, MAXX, MAXY})
    box->setEnabled(manual);
}

// ---- The port map ------------------------------------------------------------------------

QString frmOptions::shownDevice(int16_t commPort) const {
  const auto changed = m_changedDevices.constFind(commPort);
  return changed != m_changedDevices.cend() ? *changed : m_loadedDevices.value(commPort);
}

void frmOptions::showPortDevice() {
  const int16_t n = static_cast<int16_t>(CPort->currentIndex() + 1);
  for (int16_t i = 1; i <= kPortCount; ++i) {
    QString text = shownDevice(i);
    if (m_changedDevices.contains(i)) text += QStringLiteral("  (on Apply)");
    m_portModel->setItem(i - 1, 1, new QStandardItem(text));
  }
  cboDevice->blockSignals(true);
  cboDevice->setEditText(shownDevice(n));
  cboDevice->blockSignals(false);

  const zrv::portmap::Entry entry = zrv::portmap::lookup(n);
  QString where;
  if (m_changedDevices.contains(n))
    where = QStringLiteral("Written to the port map on Apply.");
  else if (entry.source == zrv::portmap::Source::Process)
    where = QStringLiteral("Mapped for this session only.");
  else if (entry.source == zrv::portmap::Source::Default)
    where = QStringLiteral("Not mapped: the default device of COM%1.").arg(n);
  if (m_linkOpen)
    where += QStringLiteral(" A run is going on: the port can be changed between runs.");
  m_deviceNote->setText(
      (describeDevice(shownDevice(n), m_devices) + QLatin1Char(' ') + where).simplified());
}

void frmOptions::deviceEdited(const QString& text) {
  const int16_t n = static_cast<int16_t>(CPort->currentIndex() + 1);
  if (n < 1) return;
  // An emptied box stands for the default device of the number.
  const QString device = text.trimmed().isEmpty() ? zrv::portmap::defaultDevice(n) : text.trimmed();
  if (device == m_loadedDevices.value(n))
    m_changedDevices.remove(n);
  else
    m_changedDevices[n] = device;
  const int cursor = cboDevice->lineEdit()->cursorPosition();
  showPortDevice();
  cboDevice->blockSignals(true);
  cboDevice->setEditText(text);
  cboDevice->lineEdit()->setCursorPosition(cursor);
  cboDevice->blockSignals(false);
}

QStringList frmOptions::writePortMap() {
  QStringList failures;
  const auto changes = m_changedDevices;
  for (auto it = changes.cbegin(); it != changes.cend(); ++it) {
    const int16_t n = it.key();
    // The default device needs no entry of its own.
    const QString device = it.value() == zrv::portmap::defaultDevice(n) ? QString() : it.value();
    QString error;
    if (!zrv::portmap::setMapping(n, device, &error)) {
      failures << QStringLiteral("COM%1: %2").arg(n).arg(error);
      continue;
    }
    // What the user chose here wins over a mapping made for this session only.
    if (zrv::portmap::lookup(n).source == zrv::portmap::Source::Process)
      zrv::portmap::overrideForProcess(n, QString());
    m_loadedDevices[n] = zrv::portmap::resolve(n);
    m_changedDevices.remove(n);
  }
  showPortDevice();
  return failures;
}

// ---- Validation --------------------------------------------------------------------------

void frmOptions::showPageOf(QWidget* field) {
  for (QWidget* w = field; w; w = w->parentWidget()) {
    const QVariant index = w->property("index");
    if (w->objectName() == QLatin1String("picOptions") && index.isValid()) {
      selectTab(index.toInt() + 1);
      return;
    }
  }
}

void frmOptions::focus(QLineEdit* field) {
  // A disabled box (a range box while autoranging) cannot take the focus; it stays put.
  if (field->isEnabled()) field->setFocus(Qt::OtherFocusReason);
}

void frmOptions::report(const QString& text) {
  m_host.dialogs->message(this, text, kAppTitle, Buttons::Ok, Icon::None);
}

QString frmOptions::explain(const QLineEdit* field, const QString& why) const {
  return field->property("label").toString() + QStringLiteral(": enter ") + m_takes.value(field) +
         QStringLiteral("; ") + why + QLatin1Char('.');
}

void frmOptions::refuse(QLineEdit* field, const QString& why) {
  showPageOf(field);
  focus(field);
  report(QStringLiteral("Invalid entry ") + field->text() + QStringLiteral("\n\n") +
         explain(field, why));
}

bool frmOptions::ValidateEntries() {
  // The ranges are compared once every box of a pair holds a number: after the last of them.
  qsizetype pairsAfter = -1;
  for (qsizetype i = 0; i < m_settingBoxes.size(); ++i)
    for (const SettingPair& pair : settingPairs())
      if (m_settingBoxes[i].first->id == pair.minimum ||
          m_settingBoxes[i].first->id == pair.maximum)
        pairsAfter = i;
  for (qsizetype i = 0; i < m_settingBoxes.size(); ++i) {
    const auto& [d, box] = m_settingBoxes[i];
    if (!CheckEntry(box, *d)) return false;
    if (i == pairsAfter)
      for (const SettingPair& pair : settingPairs())
        if (!checkPair(pair)) return false;
  }
  return true;
}

bool frmOptions::checkPair(const SettingPair& pair) {
  QLineEdit* low = field(setting(pair.minimum).field);
  QLineEdit* high = field(setting(pair.maximum).field);
  if (pairHolds(checkSetting(setting(pair.minimum), low->text()).value,
                checkSetting(setting(pair.maximum), high->text()).value))
    return true;
  // The fixed message gets the values it compares below it.
  showPageOf(low);
  report(QString::fromLatin1(pair.message) +
         QStringLiteral("\n\n%1 is '%2' and %3 is '%4'.")
             .arg(low->property("label").toString(), low->text(),
                  high->property("label").toString(), high->text()));
  focus(low);
  return false;
}

bool frmOptions::CheckEntry(QLineEdit* box, const SettingDescriptor& d) {
  const SettingCheck check = checkSetting(d, box->text());
  switch (check.problem) {
    case SettingProblem::None:
      return true;
    case SettingProblem::TooHigh:
      // A fixed message of its own; the focus moves after it.
      showPageOf(box);
      report(QString::fromLatin1(d.tooHighMessage) + QStringLiteral("\n\n") +
             explain(box, notAllowed(box->text())));
      focus(box);
      return false;
    case SettingProblem::RoundsToZero:
      refuse(box, QStringLiteral("'%1' seconds rounds to 0 ms").arg(box->text().trimmed()));
      return false;
    case SettingProblem::Empty:
    case SettingProblem::NotANumber:
    case SettingProblem::OutOfRange:
      break;
  }
  refuse(box, notAllowed(box->text()));
  return false;
}

// ---- Apply, OK, Cancel -------------------------------------------------------------------------

bool frmOptions::cmdApply_Click() {
  m_grid->finishEditing();
  if (!ValidateEntries()) return false;
  for (OptionsPage* page : m_more) {
    // A page's refusal is said with the page in front.
    const int shown = m_tabs->currentIndex();
    m_tabs->setCurrentIndex(kPages + int(m_more.indexOf(page)));
    if (!page->validate()) return false;
    m_tabs->setCurrentIndex(shown);
  }
  AcquisitionEngine& engine = *m_host.engine;
  GraphModel& graph = engine.graph();
  BoardControl& board = engine.board();
  QStringList portMapFailures;
  try {
    if (m_host.setAutorange) m_host.setAutorange(autor->isChecked());
    // The settings in the pages' order; the interval waits for the end of a run.
    for (const auto& [d, box] : m_settingBoxes)
      if (!changesBetweenRunsOnly(*d)) setSetting(engine, *d, checkSetting(*d, box->text()).value);
    engine.document().setGraphRanges();
    graph.setProperty(M::LegendOn, Variant(Legend->isChecked()));
    engine.readPlanChanged();
    setSetting(engine, setting(SettingId::Reference),
               Variant(int16_t(RefSel->currentData().toInt())));
    m_refNote->hide();
    if (!engine.running()) {
      for (const auto& [d, box] : m_settingBoxes)
        if (changesBetweenRunsOnly(*d)) setSetting(engine, *d, checkSetting(*d, box->text()).value);
      engine.reclaimLink();  // a run just stopped may still be finishing its last read
      board.setCommPort(static_cast<int16_t>(CPort->currentIndex() + 1));
      m_portNote->hide();
    }
    portMapFailures = writePortMap();
    m_host.storedSettings->setComPort(board.CommPort());
    m_host.storedSettings->sync();
    m_grid->writeBack(engine.data);
    for (OptionsPage* page : m_more)
      page->apply();
    if (m_host.applied) m_host.applied();
  } catch (const zrv::AutomationError& e) {
    // Validation lets through only what every setter takes; this is a safety net.
    qCWarning(lcOptions) << "apply failed:" << e.message();
    report(QStringLiteral("The settings could not all be applied:\n") + e.message());
    return false;
  }
  if (portMapFailures.isEmpty()) return true;
  // The changes stay in the dialog, so Apply can try again.
  showPageOf(cboDevice);
  report(QStringLiteral("The port map could not be saved:\n") + portMapFailures.join(u'\n') +
         QStringLiteral("\n\nThe other settings have been applied."));
  return false;
}

void frmOptions::cmdOK_Click() {
  m_grid->finishEditing();
  if (!ValidateEntries()) return;
  if (cmdApply_Click()) accept();
}

void frmOptions::cmdSaveDefaults_Click() {
  if (!cmdApply_Click() || !m_host.saveDefaults) return;
  if (m_host.saveDefaults())
    report(QStringLiteral("These settings are now your defaults: ZRVLOG starts with them."));
}

void frmOptions::cmdFactoryDefaults_Click() {
  if (!m_host.restoreFactoryDefaults) return;
  if (m_host.dialogs->message(this,
                              QStringLiteral("Forget your defaults and put the factory settings "
                                             "(sampling, channels, calibration) in force?"),
                              kAppTitle, Buttons::YesNo, Icon::Question) != Answer::Yes)
    return;
  m_host.restoreFactoryDefaults();
  Form_Load();
}

void frmOptions::cmdCancel_Click() {
  reject();
}

void frmOptions::Gset_Click() {
  if (m_host.graphProperties) m_host.graphProperties();
}

}  // namespace zrvlog
