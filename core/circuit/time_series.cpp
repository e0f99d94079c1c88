#include "time_series.hpp"

#include <algorithm>
#include <charconv>
#include <cmath>
#include <stdexcept>

namespace whistle {

TimeSeries::TimeSeries(std::vector<std::string> keys, std::vector<Row> rows, double time_step,
                       int64_t time_index)
    : Cloneable(TypeCode::TimeSeries),
      keys_(std::move(keys)),
      rows_(std::move(rows)),
      time_step_(time_step),
      time_index_(time_index) {
    if (keys_.size() != rows_.size()) throw std::invalid_argument("Each key needs one row of values.");
    size_t longest = 0;
    for (const Row& row : rows_) longest = std::max(longest, row.size());
    for (Row& row : rows_) row.resize(longest);
}

const TimeSeries::Row* TimeSeries::row(std::string_view key) const {
    auto found = std::find(keys_.begin(), keys_.end(), key);
    return found == keys_.end() ? nullptr : &rows_[size_t(found - keys_.begin())];
}

TimeSeries TimeSeries::followed_by(const TimeSeries& next) const {
    if (next.time_step_ != time_step_)
        throw std::invalid_argument(
            "Operation can only be performed between TimeSeries with equal 'time_step'.");
    if (next.time_index_ != end_index())
        throw std::invalid_argument("'time_index' of second operand (" +
                                    std::to_string(next.time_index_) +
                                    ") does not match the end index of the first (" +
                                    std::to_string(end_index()) + ").");
    std::vector<std::string> keys = keys_;
    for (const std::string& key : next.keys_)
        if (!row(key)) keys.push_back(key);
    std::vector<Row> rows;
    const Row zeros_here(length()), zeros_next(next.length());
    for (const std::string& key : keys) {
        const Row* head = row(key);
        const Row* tail = next.row(key);
        Row joined = head ? *head : zeros_here;
        joined.insert(joined.end(), (tail ? tail : &zeros_next)->begin(), (tail ? tail : &zeros_next)->end());
        rows.push_back(std::move(joined));
    }
    return TimeSeries(std::move(keys), std::move(rows), time_step_, time_index_);
}

namespace {

// The shortest text that reads back as the same double.
std::string number_text(double value) {
    char buffer[32];
    auto result = std::to_chars(buffer, buffer + sizeof(buffer), value);
    return std::string(buffer, result.ptr);
}

// The interpreter's form of a complex number: "(1+2j)", or "2j" for a zero real part.
std::string complex_text(TimeSeries::Complex value) {
    std::string imag = number_text(value.imag()) + "j";
    if (value.real() == 0 && !std::signbit(value.real())) return imag;
    std::string text = "(";
    text += number_text(value.real());
    if (imag[0] != '-') text += '+';
    return text + imag + ")";
}

}  // namespace

std::string TimeSeries::str(bool representation) const {
    if (!representation)
        return "Time series with " + std::to_string(keys_.size()) + " values of length " +
               std::to_string(length());
    std::string text = "TimeSeries(values={";
    for (size_t i = 0; i < keys_.size(); ++i) {
        text += (i ? ", '" : "'") + keys_[i] + "': [";
        for (size_t k = 0; k < rows_[i].size(); ++k) text += (k ? ", " : "") + complex_text(rows_[i][k]);
        text += "]";
    }
    return text + "}, time_step=" + number_text(time_step_) + ", time_index=" +
           std::to_string(time_index_) + ")";
}

bool TimeSeries::equals(const BaseType& other) const {
    auto* o = dynamic_cast<const TimeSeries*>(&other);
    return o && keys_ == o->keys_ && rows_ == o->rows_ && time_step_ == o->time_step_ &&
           time_index_ == o->time_index_;
}

}  // namespace whistle
