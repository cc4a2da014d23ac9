#pragma once
// The data set of a document, apart from its samples (which live in the document's sample
// store): the calibration table, the nominal time of the next sample, the start time, the
// file name and the unsaved-changes flag.

#include <QString>
#include <array>
#include <cstdint>

#include "app/documents/channellimit.h"
#include "common/variant.h"

namespace zrvlog {

inline constexpr int kOrders = 5;  // a4..a0 of the calibration polynomial

/// The coefficient a1 that maps counts 0-1023 onto 0-5 V: the double nearest to this
/// decimal, deliberately not 5/1023, so that files and grids show the same digits.
inline constexpr double kVoltsPerCount = 4.88758553274682E-03;

class DataSet {
 public:
  DataSet();

  /// `Coefs`(order, Chan): the coefficient of X^order for channel Chan, as assigned.
  /// Both indices run 0-4; others raise error 9 and change nothing.
  const zrv::Variant& GetCoef(int16_t order, int16_t Chan) const;
  void SetCoef(int16_t order, int16_t Chan, const zrv::Variant& value);
  void ClearCoef();  ///< every coefficient the integer 0

  /// Starts the samples afresh: SampleTime 0, StartTime empty text,
  /// nothing unsaved. The calibration and CurrentFile stay. Counts as a new data set for
  /// ticks that were interrupted (see generation()).
  void reset();

  /// The key of the next sample: "T" and SampleTime in the general number format.
  QString sampleKey() const;
  /// Moves SampleTime on by one sample interval. The nominal time is computed as a whole
  /// number of steps times the interval rather than summed, so that after a million samples
  /// at 5 ms it still reads 5000 and not 4999.99499999929; a changed interval continues
  /// from where the old one stopped.
  void advanceSampleTime(int32_t intervalMs);

  /// Changes whenever the samples are reset or the whole set is replaced, so that a tick
  /// interrupted by such a command can tell that its sample no longer belongs here.
  uint64_t generation() const { return m_generation; }

  zrv::Variant SampleTime = int16_t{0};
  bool DataChanged = false;
  QString CurrentFile;                 ///< empty: untitled
  zrv::Variant StartTime = QString();  ///< date of the first sample; empty text before it

 private:
  std::array<std::array<zrv::Variant, kChannels>, kOrders> m_coefs;
  // SampleTime = m_anchor + m_steps * m_stepMs / 1000 (see advanceSampleTime).
  double m_anchor = 0;
  int64_t m_steps = 0;
  int32_t m_stepMs = 0;
  uint64_t m_generation = 0;
};

}  // namespace zrvlog
