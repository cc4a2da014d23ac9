// The options dialog of the main window: View > Options... and the toolbar's Props button.
#include <QAction>
#include <cmath>
#include <cstdint>
#include <optional>

#include "app/dialogs/dialogs.h"
#include "app/documents/settingtable.h"
#include "app/graph/graphmodel.h"
#include "app/mainwindow/frmmain.h"
#include "app/options/frmoptions.h"
#include "app/options/portdevices.h"
#include "app/options/publishpage.h"
#include "app/settings/storedsettings.h"
#include "board/portmap.h"
#include "common/automationerror.h"
#include "common/numberformat.h"

namespace zrvlog {

using zrv::Variant;

namespace {
QString coefKey(int order, int channel) {
  return QStringLiteral("Coef%1_%2").arg(order).arg(channel + 1);
}
}  // namespace

QMap<QString, QString> frmMain::userDefaults() const {
  const AcquisitionSettings& s = m_engine->settings;
  QMap<QString, QString> v;
  for (const SettingDescriptor& d : settingTable())
    if (d.storedKey) v[QLatin1String(d.storedKey)] = settingValue(*m_engine, d).toText();
  v[QStringLiteral("ClkX2")] = s.ClkX2 ? QStringLiteral("1") : QStringLiteral("0");
  // The unit of the values goes with the calibration.
  v[QStringLiteral("ValueFormat")] = m_graph->property(GraphMember::LabelFormatY).toText();
  for (int k = 0; k <= 4; ++k)
    for (int c = 0; c < kChannels; ++c) {
      const Variant& coef = m_engine->data.GetCoef(int16_t(k), int16_t(c));
      // Numbers exactly (17 digits), text as typed.
      v[coefKey(k, c)] =
          coef.isNumeric() ? QString::number(coef.toDouble(), 'g', 17) : coef.toText();
    }
  return v;
}

void frmMain::applyUserDefaults() {
  const QMap<QString, QString> v = m_stored->userDefaults();
  if (v.isEmpty()) return;
  AcquisitionSettings& s = m_engine->settings;
  // A value that is missing or damaged keeps the factory one.
  const auto whole = [&](const char* key, long lowest, long highest) -> std::optional<long> {
    const auto n = zrv::parseNumber(v.value(QString::fromLatin1(key)));
    if (!n || *n < lowest || *n > highest || *n != std::floor(*n)) return std::nullopt;
    return long(*n);
  };
  try {
    // Each setting is judged as a typed one would be.
    for (const SettingDescriptor& d : settingTable()) {
      const QString key = d.storedKey ? QString::fromLatin1(d.storedKey) : QString();
      if (!v.contains(key)) continue;
      if (const auto held = storedSetting(d, v.value(key))) setSetting(*m_engine, d, *held);
    }
    if (const auto n = whole("ClkX2", 0, 1)) s.ClkX2 = *n == 1;
    if (v.contains(QStringLiteral("ValueFormat")))
      m_graph->setProperty(GraphMember::LabelFormatY,
                           Variant(v.value(QStringLiteral("ValueFormat"))));
    for (int k = 0; k <= 4; ++k)
      for (int c = 0; c < kChannels; ++c) {
        const QString text = v.value(coefKey(k, c));
        if (text.isEmpty()) continue;
        const auto n = zrv::parseNumber(text);
        m_engine->data.SetCoef(int16_t(k), int16_t(c), n ? Variant(*n) : Variant(text));
      }
    m_engine->readPlanChanged();
  } catch (const zrv::AutomationError& e) {
    doerr(QStringLiteral("Your defaults could not all be used:\n") + e.message());
  }
}

void frmMain::applyFactoryDefaults() {
  // What the user's defaults can keep goes back; the graph's ranges and grid are the
  // document's look, which the quick range below sets as a start does.
  for (const SettingDescriptor& d : settingTable())
    if (const Variant value = settingDefault(d); d.storedKey && !value.isEmpty())
      setSetting(*m_engine, d, value);
  m_engine->settings.ClkX2 = true;
  m_engine->quickset(Quickset::Volts0To5);
  m_engine->readPlanChanged();
  showRecordedChannels();
}

void frmMain::initOptionsCommands() {
  connect(m_menus.mnuViewOptions, &QAction::triggered, this, &frmMain::mnuViewOptions_Click);
}

void frmMain::mnuViewOptions_Click() {
  OptionsHost host;
  host.engine = m_engine.get();
  host.dialogs = m_dialogs;
  host.storedSettings = m_stored;
  host.autorange = [this] { return m_engine->autorange(); };
  host.setAutorange = [this](bool on) { m_engine->setAutorange(on); };
  host.graphProperties = [this] { mnuGraphProps_Click(); };
  // The port or the port map may have changed: the toolbar says whether the board that
  // the next run opens is the simulated one.
  host.saveDefaults = [this] {
    if (m_stored->setUserDefaults(userDefaults())) return true;
    doerr(QStringLiteral("Your defaults could not be stored in the settings file."));
    return false;
  };
  host.restoreFactoryDefaults = [this] {
    m_stored->clearUserDefaults();
    applyFactoryDefaults();
  };
  host.morePages = [this] {
    return QList<OptionsPage*>{
        new PublishPage(*m_stored, *m_dialogs, [this] { restartPublishing(); })};
  };
  host.applied = [this] {
    setSimulatedBoard(zrv::portmap::resolve(m_board->CommPort()) == kSimulatedDevice);
    showRecordedChannels();
  };
  frmOptions dialog(std::move(host), this);
  m_dialogs->exec(dialog);
}

}  // namespace zrvlog
