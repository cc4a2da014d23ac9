#include "dataset.h"

#include "common/automationerror.h"

namespace zrvlog {

DataSet::DataSet() {
  ClearCoef();
}

namespace {
void checkCoefIndex(int16_t order, int16_t Chan) {
  if (order < 0 || order >= kOrders || Chan < 0 || Chan >= kChannels)
    throw zrv::AutomationError(
        zrv::err::kSubscriptOutOfRange,
        QStringLiteral("calibration coefficient (%1, %2): order and channel run 0-4")
            .arg(order)
            .arg(Chan));
}
}  // namespace

const zrv::Variant& DataSet::GetCoef(int16_t order, int16_t Chan) const {
  checkCoefIndex(order, Chan);
  return m_coefs[order][Chan];
}

void DataSet::SetCoef(int16_t order, int16_t Chan, const zrv::Variant& value) {
  checkCoefIndex(order, Chan);
  m_coefs[order][Chan] = value;
}

void DataSet::ClearCoef() {
  for (auto& order : m_coefs)
    order.fill(zrv::Variant(int16_t{0}));
}

void DataSet::reset() {
  DataChanged = false;
  SampleTime = int16_t{0};
  StartTime = QString();
  m_anchor = 0;
  m_steps = 0;
  m_stepMs = 0;
  ++m_generation;
}

QString DataSet::sampleKey() const {
  return QLatin1Char('T') + SampleTime.toText();
}

void DataSet::advanceSampleTime(int32_t intervalMs) {
  if (intervalMs != m_stepMs || m_steps == 0) {
    m_anchor = SampleTime.toDouble();
    m_steps = 0;
    m_stepMs = intervalMs;
  }
  ++m_steps;
  SampleTime = m_anchor + static_cast<double>(m_steps * m_stepMs) / 1000.0;
}

}  // namespace zrvlog
