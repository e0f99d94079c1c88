#include "touchstone.hpp"

#include <algorithm>
#include <charconv>
#include <cmath>
#include <cstdio>
#include <memory>
#include <numeric>
#include <optional>
#include <set>
#include <string_view>

namespace whistle {

namespace {

constexpr double kDegree = 3.141592653589793 / 180;
// Counts beyond this cannot describe a matrix any file could hold.
constexpr unsigned long long kMaxCount = 1ull << 31;

struct FileCloser {
    void operator()(std::FILE* file) const { std::fclose(file); }
};
using File = std::unique_ptr<std::FILE, FileCloser>;

struct Token {
    std::string_view text;  // as in the file: numbers are parsed in place
    bool line_start = false;
    size_t offset = 0;
};

// Token text with ASCII upper case folded, for keywords, option values and messages.
std::string folded(std::string_view text) {
    std::string result(text);
    for (char& c : result)
        if (c >= 'A' && c <= 'Z') c = char(c - 'A' + 'a');
    return result;
}

// Whitespace-separated tokens, with "!" comments removed and line starts marked.
class Lexer {
public:
    explicit Lexer(std::string text) : text_(std::move(text)) {}

    bool next(Token& out) {
        const size_t size = text_.size();
        while (true) {
            while (pos_ < size && is_space(text_[pos_])) {
                if (text_[pos_] == '\n') newline_ = true;
                ++pos_;
            }
            if (pos_ >= size) return false;
            size_t start = pos_;
            while (pos_ < size && !is_space(text_[pos_])) ++pos_;
            if (text_[start] == '!') {
                skip_line();
                continue;
            }
            out.text = std::string_view(text_).substr(start, pos_ - start);
            out.line_start = newline_;
            out.offset = start;
            newline_ = false;
            return true;
        }
    }

    bool peek(Token& out) {
        size_t pos = pos_;
        bool newline = newline_;
        bool found = next(out);
        pos_ = pos;
        newline_ = newline;
        return found;
    }

    // The next token when it is on the current line.
    bool next_on_line(Token& out) {
        Token t;
        if (!peek(t) || t.line_start) return false;
        return next(out);
    }

    void rewind(const Token& token) {
        pos_ = token.offset;
        newline_ = token.line_start;
    }

    size_t remaining() const { return text_.size() - pos_; }

    void skip_line() {
        while (pos_ < text_.size() && text_[pos_] != '\n') ++pos_;
    }

private:
    static bool is_space(char c) { return c == ' ' || c == '\t' || c == '\r' || c == '\n'; }

    std::string text_;
    size_t pos_ = 0;
    bool newline_ = true;
};

bool is_keyword(const Token& token) { return token.line_start && token.text[0] == '['; }

enum class Format { RI, MA, DB };
enum class Matrix { Full, Upper, Lower };

class Reader {
public:
    Reader(const std::string& name, std::string text, ErrorHandler& status)
        : name_(name), lexer_(std::move(text)), status_(status) {}

    TouchstoneData read() {
        Token t;
        while (!stop_ && !status_.failed() && lexer_.next(t)) {
            if (t.line_start && t.text == "#") {
                option_line();
            } else if (is_keyword(t)) {
                keyword(t);
            } else if (t.line_start && !version_) {
                lexer_.rewind(t);
                network_data();
            } else {
                unexpected(t);
            }
        }
        if (status_.failed()) return {};
        size_t count = data_.frequencies.size();
        if (expected_frequencies_ && *expected_frequencies_ != count)
            status_.warning("Expected " + std::to_string(*expected_frequencies_) + " frequencies in file '" +
                            name_ + "', but " + std::to_string(count) + " found.");
        data_.ports = ports_.value_or(0);
        return std::move(data_);
    }

private:
    std::string quoted_name() const { return "'" + name_ + "'"; }

    void unexpected(const Token& t) {
        status_.error("Unexpected value in " + quoted_name() + ": " + folded(t.text) + " at position " +
                      std::to_string(t.offset) + " bytes.");
    }

    bool parse_unsigned(const Token& t, size_t& out) {
        unsigned long long value = 0;
        auto [end, ec] = std::from_chars(t.text.data(), t.text.data() + t.text.size(), value);
        if (ec != std::errc() || end != t.text.data() + t.text.size() || value > kMaxCount) {
            status_.error("Invalid unsigned integer value in file: " + folded(t.text));
            return false;
        }
        out = size_t(value);
        return true;
    }

    void read_count(std::optional<size_t>& out) {
        Token t;
        size_t n = 0;
        if (lexer_.next(t) && parse_unsigned(t, n)) out = n;
    }

    static bool to_double(std::string_view text, double& out) {
        const char* begin = text.data();
        const char* end = begin + text.size();
        if (begin != end && *begin == '+') ++begin;
        auto [last, ec] = std::from_chars(begin, end, out);
        return ec == std::errc() && last == end && begin != end;
    }

    bool parse_double(const Token& t, double& out) {
        if (to_double(t.text, out)) return true;
        status_.error("Invalid floating point value in file: " + folded(t.text));
        return false;
    }

    bool value_token(Token& t) {
        if (lexer_.next(t)) return true;
        status_.error("Unexpected end of file " + quoted_name() + " reached while reading.");
        return false;
    }

    void option_line() {
        if (option_seen_) {
            lexer_.skip_line();
            return;
        }
        option_seen_ = true;
        static const std::pair<const char*, double> units[] = {
            {"hz", 1}, {"khz", 1e3}, {"mhz", 1e6}, {"ghz", 1e9}, {"thz", 1e12}, {"phz", 1e15}};
        Token t;
        while (lexer_.next_on_line(t)) {
            const std::string word = folded(t.text);
            auto unit = std::find_if(std::begin(units), std::end(units),
                                     [&](const auto& u) { return word == u.first; });
            if (unit != std::end(units)) {
                factor_ = unit->second;
            } else if (word == "ri" || word == "ma" || word == "db") {
                format_ = word == "ri" ? Format::RI : word == "ma" ? Format::MA : Format::DB;
            } else if (word == "s") {
            } else if (word == "y" || word == "z" || word == "h" || word == "g") {
                status_.error("Currently, only S parameters are supported in snp files.");
                return;
            } else if (word == "r") {
                Token value;
                double resistance = 0;
                if (lexer_.peek(value) && !value.line_start && to_double(value.text, resistance))
                    lexer_.next(value);
                else
                    status_.warning("Malformed option line in " + quoted_name() +
                                    ": missing reference resistance.");
            } else {
                status_.warning("Malformed option line in " + quoted_name() + ": '" + word +
                                "' is not a recognized value.");
            }
        }
    }

    // Skips to the next keyword at the start of a line.
    void skip_section() {
        Token t;
        while (lexer_.peek(t) && !is_keyword(t)) lexer_.next(t);
    }

    // False (after the warning) when the keyword was seen before.
    bool first_time(const std::string& keyword, const char* description) {
        if (seen_.insert(keyword).second) return true;
        status_.warning("File " + quoted_name() + " has multiple " + description + " keywords.");
        return false;
    }

    void keyword(Token t) {
        std::string text = folded(t.text);
        while (text.back() != ']') {
            if (!lexer_.next(t)) {
                status_.error("Keyword missing closing bracket in " + quoted_name() + ": " + text);
                return;
            }
            text += folded(t.text);
        }
        Token value;
        if (text == "[end]") {
            if (lexer_.next(value)) status_.warning("Contents after [end] keyword ignored in " + quoted_name() + ".");
            stop_ = true;
            return;
        }
        if (!lexer_.peek(value)) {
            status_.error("Expected value after keyword " + text + " in file " + quoted_name() + ".");
            return;
        }
        if (text == "[version]") {
            first_time(text, "version");
            version_ = true;
            lexer_.next(value);
            const std::string word = folded(value.text);
            if (word != "2.0")
                status_.warning("File " + quoted_name() + " has unexpected version " + word +
                                ". Assuming version 2.0.");
        } else if (text == "[numberofports]") {
            first_time(text, "number of ports");
            // Data already read fixes the count: a later one is checked but cannot change it.
            std::optional<size_t> count;
            read_count(count);
            if (data_.frequencies.empty() && count) ports_ = count;
        } else if (text == "[two-portdataorder]") {
            first_time(text, "two-port data order");
            lexer_.next(value);
            const std::string word = folded(value.text);
            if (word == "12_21" || word == "21_12")
                order_12_21_ = word == "12_21";
            else
                status_.warning("Invalid two-port order setting in file " + quoted_name() + ": " + word);
            if (ports_ && *ports_ != 2)
                status_.warning("Invalid two-port order setting for " + std::to_string(*ports_) +
                                " ports in file '" + name_ + ".'");
        } else if (text == "[numberoffrequencies]") {
            first_time(text, "number of frequencies");
            read_count(expected_frequencies_);
        } else if (text == "[numberofnoisefrequencies]") {
            first_time(text, "number of noise frequencies");
            lexer_.next(value);
            status_.warning("Number of noise frequencies from file " + quoted_name() + " not currently supported.");
        } else if (text == "[reference]") {
            first_time(text, "reference");
            reference();
        } else if (text == "[matrixformat]") {
            first_time(text, "matrix format");
            lexer_.next(value);
            const std::string word = folded(value.text);
            if (word == "full" || word == "upper" || word == "lower")
                matrix_ = word == "full" ? Matrix::Full : word == "upper" ? Matrix::Upper : Matrix::Lower;
            else
                status_.warning("Invalid matrix format in file " + quoted_name() + ": " + word +
                                " (expected full, upper, or lower).");
        } else if (text == "[mixed-modeorder]") {
            first_time(text, "mixed-mode order");
            status_.warning("Mixed-mode order from file " + quoted_name() + " not currently supported.");
            skip_section();
        } else if (text == "[noisedata]") {
            first_time(text, "noise data");
            status_.warning("Noise data from file " + quoted_name() + " not currently supported.");
            skip_section();
        } else if (text == "[begininformation]") {
            first_time(text, "begin information");
            skip_section();
        } else if (text == "[endinformation]") {
            first_time(text, "end information");
        } else if (text == "[networkdata]") {
            if (!seen_.insert(text).second) {
                status_.error("File " + quoted_name() + " has multiple network data keywords.");
            } else if (version_ && !ports_) {
                status_.error("Missing number of ports in file " + quoted_name() + ".");
            } else {
                network_data();
            }
        } else {
            status_.warning("Unrecognized keyword " + text + " in file " + quoted_name() +
                            ": skipping to next keyword.");
            skip_section();
        }
    }

    // Reference resistances: validated, not applied.
    void reference() {
        size_t count = 0;
        Token t;
        while (lexer_.peek(t) && !is_keyword(t)) {
            lexer_.next(t);
            double value = 0;
            if (!to_double(t.text, value)) {
                status_.error("Invalid reference value in file " + quoted_name() + ": " + folded(t.text));
                return;
            }
            ++count;
        }
        if (ports_ && count != *ports_)
            status_.error("Invalid number of reference values in file " + quoted_name() + ": expected " +
                          std::to_string(*ports_) + ", but found " + std::to_string(count) + ".");
    }

    bool read_pair(Complex& out) {
        Token a, b;
        double x = 0, y = 0;
        if (!value_token(a) || !parse_double(a, x) || !value_token(b) || !parse_double(b, y)) return false;
        out = convert(x, y);
        return true;
    }

    Complex convert(double a, double b) const {
        if (format_ == Format::RI) return {a, b};
        double magnitude = format_ == Format::MA ? a : std::pow(10.0, a / 20);
        return {magnitude * std::cos(b * kDegree), magnitude * std::sin(b * kDegree)};
    }

    // Appends one frequency block in full row-major order.
    void store_block(double frequency, const ComplexVector& block) {
        const size_t n = *ports_;
        size_t start = data_.values.size();
        if (matrix_ == Matrix::Full) {
            data_.values.insert(data_.values.end(), block.begin(), block.end());
        } else {
            data_.values.resize(start + n * n);
            Complex* m = data_.values.data() + start;
            size_t k = 0;
            for (size_t i = 0; i < n; ++i) {
                size_t first = matrix_ == Matrix::Upper ? i : 0;
                size_t last = matrix_ == Matrix::Upper ? n : i + 1;
                for (size_t j = first; j < last; ++j) m[i * n + j] = m[j * n + i] = block[k++];
            }
        }
        if (n == 2 && !order_12_21_) std::swap(data_.values[start + 1], data_.values[start + 2]);
        data_.frequencies.push_back(frequency);
    }

    // Ends the data at a frequency that does not increase; false when it does increase.
    bool ends_data(double frequency, const Token& t) {
        if (data_.frequencies.empty() || frequency > data_.frequencies.back()) return false;
        if (!version_) {
            status_.warning("Noise data from file " + quoted_name() + " not currently supported.");
        } else {
            char number[32];
            std::snprintf(number, sizeof(number), "%g", frequency);
            status_.warning("Invalid network data format in file " + quoted_name() +
                            " detected. Parsing stopped at frequency << " + number + " Hz (file position " +
                            std::to_string(t.offset) + " bytes).");
        }
        stop_ = true;
        return true;
    }

    void network_data() {
        if (!ports_ && !first_block()) return;
        const size_t n = *ports_;
        const size_t per_block = matrix_ == Matrix::Full ? n * n : n * (n + 1) / 2;
        reserve(per_block);
        Token t;
        ComplexVector block;
        while (!status_.failed() && lexer_.next(t)) {
            if (is_keyword(t)) {
                lexer_.rewind(t);
                return;
            }
            double frequency = 0;
            if (!parse_double(t, frequency)) return;
            frequency *= factor_;
            if (ends_data(frequency, t)) return;
            block.clear();
            for (size_t k = 0; k < per_block; ++k) {
                Complex value;
                if (!read_pair(value)) return;
                block.push_back(value);
            }
            store_block(frequency, block);
        }
    }

    // Room for the announced frequencies, bounded by the blocks the rest of the text can hold: a
    // frequency takes at least two characters, a value pair four.
    void reserve(size_t per_block) {
        const size_t remaining = lexer_.remaining();
        if (!expected_frequencies_ || per_block >= remaining) return;
        const size_t blocks = std::min(*expected_frequencies_, remaining / (4 * per_block + 2));
        const size_t n = *ports_;
        data_.values.reserve(data_.values.size() + blocks * n * n);
        data_.frequencies.reserve(data_.frequencies.size() + blocks);
    }

    // Version-1 data without a port count: the first block sets it.
    bool first_block() {
        Token t;
        lexer_.next(t);
        double frequency = 0;
        if (!parse_double(t, frequency)) return false;
        std::vector<double> numbers;
        if (!line_numbers(numbers) || numbers.size() % 2 != 0) {
            if (!status_.failed()) status_.error("Invalid network data format in file " + quoted_name() + ".");
            return false;
        }
        while (lexer_.peek(t) && !is_keyword(t)) {
            size_t before = numbers.size();
            if (!line_numbers(numbers)) return false;
            if ((numbers.size() - before) % 2 != 0) {
                numbers.resize(before);
                lexer_.rewind(t);
                break;
            }
        }
        size_t k = numbers.size() / 2;
        size_t n = size_t(std::sqrt(double(k)) + 0.1);
        if (n * n != k) {
            status_.error("Invalid matrix size in file " + quoted_name() + ": " + std::to_string(k) +
                          " is not a perfect square.");
            return false;
        }
        ports_ = n;
        ComplexVector block;
        for (size_t i = 0; i < k; ++i) block.push_back(convert(numbers[2 * i], numbers[2 * i + 1]));
        Matrix format = matrix_;
        matrix_ = Matrix::Full;
        store_block(frequency * factor_, block);
        matrix_ = format;
        return true;
    }

    // Appends the numbers up to the end of the current line.
    bool line_numbers(std::vector<double>& numbers) {
        Token t;
        bool first = true;
        while (first ? lexer_.next(t) : lexer_.next_on_line(t)) {
            first = false;
            double value = 0;
            if (!parse_double(t, value)) return false;
            numbers.push_back(value);
        }
        return true;
    }

    const std::string& name_;
    Lexer lexer_;
    ErrorHandler& status_;
    double factor_ = 1e9;
    Format format_ = Format::MA;
    Matrix matrix_ = Matrix::Full;
    bool order_12_21_ = false;
    bool version_ = false;
    bool option_seen_ = false;
    bool stop_ = false;
    std::optional<size_t> ports_;
    std::optional<size_t> expected_frequencies_;
    std::set<std::string> seen_;
    TouchstoneData data_;
};

// Room for one number as "%.16g" prints it: sign, 16 digits, point and an exponent such as "e-308".
constexpr size_t kNumberRoom = 24;
// The writer's buffer goes out in pieces of about this size.
constexpr size_t kChunk = size_t(1) << 20;

// Writes the value with 16 significant digits, as "%.16g" prints it; returns the end.
char* put_number(char* out, double value) {
    return std::to_chars(out, out + kNumberRoom, value, std::chars_format::general, 16).ptr;
}

}  // namespace

void write_touchstone(const std::string& filename, const TouchstoneData& data, ErrorHandler& status) {
    const size_t n = data.ports, f_count = data.frequencies.size();
    if (data.values.size() != f_count * n * n) {
        status.error("S matrix size (" + std::to_string(data.values.size()) + ") does not match expected size (" +
                     std::to_string(f_count) + " * " + std::to_string(n) + " * " + std::to_string(n) + ").");
        return;
    }
    std::vector<size_t> order(f_count);
    std::iota(order.begin(), order.end(), size_t(0));
    std::sort(order.begin(), order.end(),
              [&](size_t a, size_t b) { return data.frequencies[a] < data.frequencies[b]; });
    std::FILE* file = std::fopen(filename.c_str(), "w");
    if (!file) {
        status.error("Unable to open file '" + filename + "' for writing.");
        return;
    }
    std::fprintf(file, "[Version] 2.0\n# Hz S RI\n[Number of Ports] %zu", n);
    if (n == 2) std::fputs("\n[Two-Port Data Order] 12_21", file);
    std::fprintf(file, "\n[Number of Frequencies] %zu\n[Network Data]", f_count);
    // Numbers are formatted straight into one buffer that goes out in large pieces: per-number
    // formatted output and per-line writes dominate otherwise.
    std::string buffer(kChunk, '\0');
    char* const begin = buffer.data();
    char* const limit = begin + buffer.size() - (kNumberRoom + 1);
    char* out = begin;
    auto put = [&](char separator, double value) {
        if (out > limit) {
            std::fwrite(begin, 1, size_t(out - begin), file);
            out = begin;
        }
        *out++ = separator;
        out = put_number(out, value);
    };
    for (size_t f : order) {
        put('\n', data.frequencies[f]);
        for (size_t k = 0; k < n * n; ++k) {
            const Complex& v = data.values[f * n * n + k];
            put(' ', v.real());
            put(' ', v.imag());
        }
    }
    std::fwrite(begin, 1, size_t(out - begin), file);
    std::fputs("\n[End]\n", file);
    if (std::fclose(file) != 0) status.error("Error closing '" + filename + "'.");
}

TouchstoneData read_touchstone(const std::string& filename, ErrorHandler& status) {
    File file(std::fopen(filename.c_str(), "r"));
    if (!file) {
        status.error("Unable to open file '" + filename + "' for reading.");
        return {};
    }
    // Read straight into the text, doubling its room when full.
    std::string text(size_t(1) << 16, '\0');
    size_t size = 0, got = 0;
    while ((got = std::fread(text.data() + size, 1, text.size() - size, file.get())) > 0) {
        size += got;
        if (size == text.size()) text.resize(2 * size);
    }
    text.resize(size);
    if (std::ferror(file.get())) {
        status.error("Error reading '" + filename + "'.");
        return {};
    }
    return parse_touchstone(filename, std::move(text), status);
}

TouchstoneData parse_touchstone(const std::string& filename, std::string text, ErrorHandler& status) {
    return Reader(filename, std::move(text), status).read();
}

}  // namespace whistle
