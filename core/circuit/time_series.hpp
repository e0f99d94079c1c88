// `TimeSeries`: complex envelopes sampled at a fixed time step, one row per signal name.
#pragma once

#include <complex>
#include <cstdint>
#include <string>
#include <string_view>
#include <vector>

#include "core/foundation/base_type.hpp"

namespace whistle {

class TimeSeries final : public Cloneable<TimeSeries, BaseType> {
public:
    using Complex = std::complex<double>;
    using Row = std::vector<Complex>;

    // One row per key; rows shorter than the longest are padded with zeros. Throws
    // std::invalid_argument when the numbers of keys and rows differ.
    TimeSeries(std::vector<std::string> keys, std::vector<Row> rows, double time_step,
               int64_t time_index);

    const std::vector<std::string>& keys() const { return keys_; }
    const std::vector<Row>& rows() const { return rows_; }
    // Samples per row.
    size_t length() const { return rows_.empty() ? 0 : rows_.front().size(); }
    double time_step() const { return time_step_; }
    int64_t time_index() const { return time_index_; }
    void set_time_step(double time_step) { time_step_ = time_step; }
    void set_time_index(int64_t time_index) { time_index_ = time_index; }
    // Index one past the last sample.
    int64_t end_index() const { return time_index_ + int64_t(length()); }

    // The row of a key; null when absent.
    const Row* row(std::string_view key) const;
    // This series followed by `next` in time: keys of both (a key missing from one side is zero
    // there). Throws std::invalid_argument unless the time steps are equal and `next` starts at
    // this series' end index.
    TimeSeries followed_by(const TimeSeries& next) const;

    std::string str(bool representation) const override;
    bool equals(const BaseType& other) const override;

private:
    std::vector<std::string> keys_;
    std::vector<Row> rows_;
    double time_step_;
    int64_t time_index_;
};

}  // namespace whistle
