#pragma once
// frmOptions: the "Options" dialog. Four pages behind the tabs "Graph", "Sampling", "ZRV" and
// "Fit" edit the acquisition settings, the graph's ranges, grid and legend, the timer, the
// board's port (and where the port map sends it) and the calibration coefficients.
//
// The dialog holds nothing of its own: it is created for each showing, loads its fields from
// the live settings when it is first shown, and writes them back on Apply or OK only after
// every field has passed validation, so a refused entry changes nothing. It is modal to the
// main window only: the sampling timer keeps ticking under it, and Apply during a run is
// seen by the next tick.
//
// Validation checks the fields in a fixed order and stops at the first bad one: its page comes
// to the front, it takes the focus (unless it is disabled) and a message box titled ZRVLOG
// names the problem: under the first line, the field as its label reads, what it takes and
// the value typed.
//
// The dialog keeps one size whichever page shows, so its buttons stay put.

#include <QDialog>
#include <QHash>
#include <QMap>
#include <array>
#include <functional>
#include <utility>

#include "app/options/portdevices.h"
#include "common/variant.h"

class QCheckBox;
class QComboBox;
class QLabel;
class QLineEdit;
class QPlainTextEdit;
class QPushButton;
class QStandardItemModel;
class QTabBar;

namespace zrvlog {

class AcquisitionEngine;
class Dialogs;
struct SettingDescriptor;
struct SettingPair;
enum class SettingId : uint8_t;
class OptionsPage;
class PolyGrid;
class StoredSettings;

/// What the dialog reads and writes: the engine (settings, coefficients, timer, graph, board)
/// and what lives on the main window. Everything must outlive the dialog.
struct OptionsHost {
  AcquisitionEngine* engine = nullptr;
  Dialogs* dialogs = nullptr;
  StoredSettings* storedSettings = nullptr;
  /// The Data > Autorange check mark.
  std::function<bool()> autorange;
  std::function<void(bool)> setAutorange;
  /// The graph's own property dialog, as View > Graph Properties... shows it.
  std::function<void()> graphProperties;
  /// Called after every Apply that got through validation.
  std::function<void()> applied;
  /// Stores the settings now in force as the user's own defaults; false with a message
  /// shown when they could not be stored.
  std::function<bool()> saveDefaults;
  /// Forgets the user's defaults and puts the factory settings in force.
  std::function<void()> restoreFactoryDefaults;
  /// Pages of their own after the four (publishing), made for each showing; the dialog
  /// owns them.
  std::function<QList<OptionsPage*>()> morePages;
};

/// The texts the range boxes show for a minimum and a maximum setting. Text stays as it is;
/// a double gets the fewest significant digits, from 6 up, that keep it within a
/// ten-thousandth of the span and the maximum above the minimum.
std::pair<QString, QString> rangeTexts(const zrv::Variant& minimum, const zrv::Variant& maximum);

/// The four lines of the Sampling page's timer information, joined by CR LF.
QString timerInformation(int32_t resolution, int32_t maximum, int32_t minimum);

class frmOptions : public QDialog {
  Q_OBJECT

 public:
  /// The tabs, in order; page i belongs to tab i + 1.
  enum Page { GraphPage = 0, SamplingPage = 1, ZrvPage = 2, FitPage = 3 };
  static constexpr int kPages = 4;

  frmOptions(OptionsHost host, QWidget* owner);
  ~frmOptions() override;

  /// Fills every field from the live settings. Runs once, when the dialog is first shown.
  void Form_Load();
  /// Keyboard page switching: Ctrl+Tab and Ctrl+Shift+Tab (Alt does not matter). Returns
  /// whether the key switched the page.
  bool Form_KeyDown(int key, Qt::KeyboardModifiers shift);
  /// Shows the selected tab's page, enabled, and hides and disables the others.
  void tbsOptions_Click();
  /// Enables the four range boxes when "Autoranging" is unchecked, disables them otherwise.
  void autor_Click();
  /// Checks one field with the setting table's judge; on a bad entry brings its page to the
  /// front, focuses it and says so.
  bool CheckEntry(QLineEdit* field, const SettingDescriptor& d);
  /// Every check in the fixed order; false at the first failure (already reported).
  bool ValidateEntries();
  /// Validates, then applies every field. False when validation failed (nothing applied) or
  /// when the port map could not be written (reported; everything else applied).
  bool cmdApply_Click();
  void cmdOK_Click();
  void cmdCancel_Click();
  void Gset_Click();

  // --- Controls, by their names ------------------------------------------------------
  QTabBar* tbsOptions() const { return m_tabs; }
  /// The selected tab, 1-based.
  int selectedTab() const;
  void selectTab(int tab);
  QWidget* picOptions(int index) const { return m_pages[index]; }
  const QList<OptionsPage*>& morePages() const { return m_more; }
  QLineEdit* field(const char* name) const;
  QCheckBox *autor, *Legend;
  QLineEdit *MINX, *MAXX, *MINY, *MAXY, *XSTEP, *YSTEP;
  QLineEdit *SampRate, *StopTime, *TTol, *Avg, *TFreq;
  QPlainTextEdit* TimerStats;
  QLineEdit* Chan;
  QComboBox *CPort, *RefSel;
  /// Seconds a run waits for a port that failed (an unplugged adapter); 0: it ends at once.
  QLineEdit* Reconnect;
  /// The device the selected COM number is mapped to; edits are written on Apply.
  QComboBox* cboDevice;
  PolyGrid* grid() const { return m_grid; }
  QPushButton *cmdOK, *cmdCancel, *cmdApply, *Gset;
  QPushButton *cmdSaveDefaults, *cmdFactoryDefaults;
  /// "Save as my defaults": Apply, then the settings in force become the start-up ones.
  void cmdSaveDefaults_Click();
  /// "Restore factory defaults": the factory settings in force and in the dialog.
  void cmdFactoryDefaults_Click();

  /// The device shown for a COM number (1-9): a change made here, else the port map's.
  QString shownDevice(int16_t commPort) const;

 protected:
  bool eventFilter(QObject* watched, QEvent* event) override;
  void showEvent(QShowEvent* event) override;

 private:
  QWidget* buildGraphPage();
  QWidget* buildSamplingPage();
  QWidget* buildZrvPage();
  QWidget* buildFitPage();
  QWidget* makePage(int index, QWidget* content);

  // Reporting: the field's page to the front, then the message (and focus, see callers).
  void report(const QString& text);
  void showPageOf(QWidget* field);
  static void focus(QLineEdit* field);
  // "Label: enter what the field takes; why." for the paragraph under a refusal.
  QString explain(const QLineEdit* field, const QString& why) const;
  // Refuses a field's entry: "Invalid entry " and the text, then the explanation.
  void refuse(QLineEdit* field, const QString& why);
  // The box of a setting of the setting table, named and labelled as its row says.
  QLineEdit* settingBox(SettingId id, QWidget* parent);
  QLabel* settingLabel(QLineEdit* box, QWidget* parent);
  // Checks that a pair's maximum box is above its minimum box; reports a refusal.
  bool checkPair(const SettingPair& pair);
  // Gives every page the size of the largest.
  void keepOneSize();

  void showPortDevice();
  void deviceEdited(const QString& text);
  // Writes the devices changed here; the failures, for people.
  QStringList writePortMap();

  OptionsHost m_host;
  QTabBar* m_tabs;
  std::array<QWidget*, kPages> m_pages{};
  QList<OptionsPage*> m_more;
  PolyGrid* m_grid;
  QStandardItemModel* m_portModel;
  QLabel* m_portNote;
  QLabel* m_refNote;
  QLabel* m_rateNote;  // why the interval is read-only during a run
  QLabel* m_deviceNote;
  QList<DeviceChoice> m_devices;             // found when the dialog was loaded
  QMap<int16_t, QString> m_loadedDevices;    // COM number -> device, as loaded
  QMap<int16_t, QString> m_changedDevices;   // COM number -> device chosen here
  QHash<const QLineEdit*, QString> m_takes;  // what each checked box takes, for messages
  QList<std::pair<const SettingDescriptor*, QLineEdit*>> m_settingBoxes;  // as made
  bool m_linkOpen = false;  // a run was going on when the dialog was loaded
  bool m_loaded = false;
};

}  // namespace zrvlog
