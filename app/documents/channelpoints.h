#pragma once
// ChannelPoints: one channel of a sample store as the points of a graph element, so that
// the window draws and addresses recorded samples where they are kept, without a copy.
// X is a sample's key, Y its value on the channel.

#include "app/graph/pointstore.h"
#include "app/store/samplestore.h"

namespace zrvlog {

class ChannelPoints final : public Points {
 public:
  ChannelPoints(const SampleStore& store, int channel) : m_store(store), m_channel(channel) {}

  size_t size() const override { return m_store.rows(); }
  double x(size_t i) const override { return m_store.key(i); }
  double y(size_t i) const override { return m_store.value(m_channel, i); }
  bool xSorted() const override { return true; }  // keys never decrease
  Extents extents() const override;
  size_t lowerBound(double x, size_t from, size_t to) const override;
  size_t upperBound(double x, size_t from, size_t to) const override;
  void foldExtremes(size_t begin, size_t end, double& lo, double& hi) const override;
  /// From the store's summary: about one entry per part.
  void partExtremes(std::vector<size_t>& borders, std::vector<double>& lo,
                    std::vector<double>& hi) const override;

 private:
  const SampleStore& m_store;
  int m_channel;
  // The extremes of the rows seen so far: a run asks at every tick, and only the rows
  // appended since need reading.
  mutable MinMax m_seen;
  mutable size_t m_seenRows = 0;
  mutable std::uint64_t m_seenGeneration = 0;
};

}  // namespace zrvlog
