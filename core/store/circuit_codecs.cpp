// Stored forms of the circuit types: wave and terminal matrices, pole-residue matrices,
// time-domain models and time series. Their numeric arrays travel as raw doubles in twf
// payloads. In JSON forms a complex number is an [re, im] pair.
#include <algorithm>
#include <cmath>
#include <limits>
#include <stdexcept>

#include "core/circuit/pole_residue.hpp"
#include "core/circuit/terminal_matrix.hpp"
#include "core/circuit/time_domain_model.hpp"
#include "core/circuit/time_series.hpp"
#include "core/store/store.hpp"

namespace whistle {

namespace {

[[noreturn]] void invalid(const char* key) {
    throw StoreError(std::string("Invalid value for key '") + key + "'.");
}

// Builds an object through its validating constructor; a rejected value is bad stored data.
template <class Make>
auto build(const char* type, Make make) {
    try {
        return make();
    } catch (const std::invalid_argument& e) {
        throw StoreError(std::string("Invalid ") + type + " data: " + e.what());
    } catch (const std::out_of_range& e) {
        throw StoreError(std::string("Invalid ") + type + " data: " + e.what());
    }
}

// ---- JSON values ------------------------------------------------------------------------

std::vector<double> reals_value(const json& value, const char* key) {
    if (!value.is_array()) invalid(key);
    std::vector<double> result;
    result.reserve(value.size());
    for (const json& item : value) result.push_back(real_value(item, key));
    return result;
}

json complex_json(Complex value) { return json::array({real_json(value.real()), real_json(value.imag())}); }

Complex complex_value(const json& value, const char* key) {
    if (!value.is_array() || value.size() != 2) invalid(key);
    return {real_value(value[0], key), real_value(value[1], key)};
}

json complexes_json(const ComplexVector& values) {
    json result = json::array();
    for (const Complex& value : values) result.push_back(complex_json(value));
    return result;
}

ComplexVector complexes_value(const json& value, const char* key) {
    if (!value.is_array()) invalid(key);
    ComplexVector result;
    result.reserve(value.size());
    for (const json& item : value) result.push_back(complex_value(item, key));
    return result;
}

ComplexVector complexes_field(const json& form, const char* key) {
    return complexes_value(field(form, key), key);
}

// A map keyed by (input, output) names as an array of [input, output, value] entries.
template <class Value, class Write>
json keyed_json(const std::map<ElementKey, Value>& map, Write write) {
    json result = json::array();
    for (const auto& [key, value] : map) result.push_back(json::array({key.first, key.second, write(value)}));
    return result;
}

template <class Value, class Read>
std::map<ElementKey, Value> keyed_field(const json& form, const char* key, Read read) {
    std::map<ElementKey, Value> result;
    for (const json& entry : array_field(form, key)) {
        if (!entry.is_array() || entry.size() != 3 || !entry[0].is_string() || !entry[1].is_string())
            invalid(key);
        ElementKey names{entry[0].get<std::string>(), entry[1].get<std::string>()};
        if (!result.emplace(std::move(names), read(entry[2], key)).second) invalid(key);
    }
    return result;
}

json objects_json(const NamedObjects& objects, StoreWriter& store) {
    json result = json::object();
    for (const auto& [name, object] : objects) result[name] = store.optional_ref(object);
    return result;
}

double delay_value(double delay) {
    if (delay < 0) throw StoreError("Delays cannot be negative.");
    return delay;
}

// ---- twf values -------------------------------------------------------------------------

void write_reals(TwfPayloadWriter& out, const std::vector<double>& values) {
    out.count(values.size());
    for (double value : values) out.real(value);
}

std::vector<double> read_reals(TwfPayloadReader& in) {
    std::vector<double> result(in.items(8));
    for (double& value : result) value = in.real();
    return result;
}

void write_complexes(TwfPayloadWriter& out, const ComplexVector& values) {
    out.count(values.size());
    for (const Complex& value : values) {
        out.real(value.real());
        out.real(value.imag());
    }
}

ComplexVector read_complexes(TwfPayloadReader& in) {
    ComplexVector result(in.items(16));
    for (Complex& value : result) value = {in.real(), in.real()};
    return result;
}

template <class Value, class Write>
void write_keyed(TwfPayloadWriter& out, const std::map<ElementKey, Value>& map, Write write) {
    out.count(map.size());
    for (const auto& [key, value] : map) {
        out.string(key.first);
        out.string(key.second);
        write(out, value);
    }
}

// Each entry takes at least 3 bytes: two string lengths and a value.
template <class Value, class Read>
std::map<ElementKey, Value> read_keyed(TwfPayloadReader& in, Read read) {
    std::map<ElementKey, Value> result;
    for (size_t n = in.items(3); n > 0; --n) {
        ElementKey names{in.string(), in.string()};
        if (!result.emplace(std::move(names), read(in)).second) in.fail();
    }
    return result;
}

void write_objects(TwfPayloadWriter& out, const NamedObjects& objects) {
    out.count(objects.size());
    for (const auto& [name, object] : objects) {
        out.string(name);
        out.ref(object);
    }
}

// ---- SMatrix, ZMatrix, YMatrix, MNAMatrix: frequencies, elements, and the ports or terminals
// the element names refer to.

struct PortTable {
    using Matrix = SMatrix;
    static constexpr const char* type = "SMatrix";
    static constexpr const char* objects_key = "ports";
    static const NamedObjects& objects(const Matrix& matrix) { return matrix.ports(); }
    // A port (or null) from a JSON value or the next twf location.
    template <class Reader, class... Value>
    static std::shared_ptr<BaseType> load(Reader& reader, const Value&... value) {
        return reader.ref(value..., {TypeCode::Port, TypeCode::FiberPort, TypeCode::GaussianPort}, "Port", false);
    }
};

template <class Tag>
struct TerminalTable {
    using Matrix = TerminalMatrix<Tag>;
    static constexpr const char* type = Tag::name;
    static constexpr const char* objects_key = "terminals";
    static const NamedObjects& objects(const Matrix& matrix) { return matrix.terminals(); }
    template <class Reader, class... Value>
    static std::shared_ptr<BaseType> load(Reader& reader, const Value&... value) {
        return reader.ref(value..., {TypeCode::Terminal}, "Terminal", false);
    }
};

template <class Table>
NamedObjects objects_field(const json& form, StoreReader& store) {
    NamedObjects objects;
    for (const auto& [name, value] : object_field(form, Table::objects_key).items())
        objects[name] = Table::load(store, value);
    return objects;
}

template <class Table>
NamedObjects read_objects(TwfPayloadReader& in) {
    NamedObjects objects;
    for (size_t n = in.items(2); n > 0; --n) {
        std::string name = in.string();
        objects[name] = Table::load(in);
    }
    return objects;
}

template <class Table>
void table_to_json(const BaseType& object, json& form, StoreWriter& store) {
    const auto& matrix = static_cast<const typename Table::Matrix&>(object);
    form["frequencies"] = matrix.frequencies();
    form["elements"] = keyed_json(matrix.elements(), complexes_json);
    form[Table::objects_key] = objects_json(Table::objects(matrix), store);
}

template <class Table>
std::shared_ptr<BaseType> table_from_json(const json& form, StoreReader& store) {
    std::vector<double> frequencies = reals_value(field(form, "frequencies"), "frequencies");
    ElementMap elements = keyed_field<ComplexVector>(form, "elements", complexes_value);
    NamedObjects objects = objects_field<Table>(form, store);
    return build(Table::type, [&] {
        return std::make_shared<typename Table::Matrix>(std::move(frequencies), std::move(elements),
                                                        std::move(objects));
    });
}

template <class Table>
void table_to_twf(const BaseType& object, TwfPayloadWriter& out) {
    const auto& matrix = static_cast<const typename Table::Matrix&>(object);
    write_reals(out, matrix.frequencies());
    write_keyed(out, matrix.elements(), write_complexes);
    write_objects(out, Table::objects(matrix));
}

template <class Table>
std::shared_ptr<BaseType> table_from_twf(TwfPayloadReader& in) {
    std::vector<double> frequencies = read_reals(in);
    ElementMap elements = read_keyed<ComplexVector>(in, read_complexes);
    NamedObjects objects = read_objects<Table>(in);
    return build(Table::type, [&] {
        return std::make_shared<typename Table::Matrix>(std::move(frequencies), std::move(elements),
                                                        std::move(objects));
    });
}

template <class Table>
TypeCodec table_codec() {
    return {0, table_to_json<Table>, table_from_json<Table>, table_to_twf<Table>, table_from_twf<Table>};
}

// ---- PoleResidueMatrix ------------------------------------------------------------------

void pole_residue_to_json(const BaseType& object, json& form, StoreWriter& store) {
    const auto& matrix = static_cast<const PoleResidueMatrix&>(object);
    form["poles"] = complexes_json(matrix.poles());
    form["residues"] = keyed_json(matrix.residues(), complexes_json);
    form["delays"] = keyed_json(matrix.delays(), real_json);
    form["ports"] = objects_json(matrix.ports(), store);
    form["frequency_scaling"] = matrix.frequency_scaling();
}

std::shared_ptr<BaseType> pole_residue_from_json(const json& form, StoreReader& store) {
    ComplexVector poles = complexes_field(form, "poles");
    auto residues = keyed_field<ComplexVector>(form, "residues", complexes_value);
    auto delays = keyed_field<double>(
        form, "delays", [](const json& value, const char* key) { return delay_value(real_value(value, key)); });
    NamedObjects ports = objects_field<PortTable>(form, store);
    const double scaling = real_value(field(form, "frequency_scaling"), "frequency_scaling");
    return build("PoleResidueMatrix", [&] {
        return std::make_shared<PoleResidueMatrix>(std::move(poles), std::move(residues), scaling,
                                                   std::move(ports), std::move(delays));
    });
}

void pole_residue_to_twf(const BaseType& object, TwfPayloadWriter& out) {
    const auto& matrix = static_cast<const PoleResidueMatrix&>(object);
    write_complexes(out, matrix.poles());
    write_keyed(out, matrix.residues(), write_complexes);
    write_keyed(out, matrix.delays(), [](TwfPayloadWriter& o, double delay) { o.real(delay); });
    write_objects(out, matrix.ports());
    out.real(matrix.frequency_scaling());
}

std::shared_ptr<BaseType> pole_residue_from_twf(TwfPayloadReader& in) {
    ComplexVector poles = read_complexes(in);
    auto residues = read_keyed<ComplexVector>(in, read_complexes);
    auto delays = read_keyed<double>(in, [](TwfPayloadReader& r) { return delay_value(r.real()); });
    NamedObjects ports = read_objects<PortTable>(in);
    const double scaling = in.real();
    return build("PoleResidueMatrix", [&] {
        return std::make_shared<PoleResidueMatrix>(std::move(poles), std::move(residues), scaling,
                                                   std::move(ports), std::move(delays));
    });
}

// ---- TimeDomainModel: the matrix, the time step and the full stepping state, so that a
// loaded model steps on exactly as the stored one would have.

// The delay lines a model builds grow with its longest delay in time steps; a stored state
// that holds fewer values than that is corrupt, and the model is not built from it.
void check_delay_lines(const PoleResidueMatrix& matrix, double time_step, size_t stored_values) {
    if (!(time_step > 0)) return;
    double longest = 0;
    for (const auto& entry : matrix.delays()) longest = std::max(longest, entry.second);
    const double steps = longest / time_step;
    if (steps > 1 && double(matrix.residues().size()) * (steps - 1) > double(stored_values))
        throw StoreError("Invalid TimeDomainModel data: the delay lines do not fit the delays.");
}

std::shared_ptr<BaseType> time_domain_model(std::shared_ptr<PoleResidueMatrix> matrix, double time_step,
                                             TimeDomainModel::RunState run) {
    check_delay_lines(*matrix, time_step, run.delay_lines.size());
    return build("TimeDomainModel", [&] {
        auto model = std::make_shared<TimeDomainModel>(std::move(matrix), time_step);
        model->restore(std::move(run));
        return model;
    });
}

void time_domain_to_json(const BaseType& object, json& form, StoreWriter& store) {
    const auto& model = static_cast<const TimeDomainModel&>(object);
    const TimeDomainModel::RunState run = model.run_state();
    form["pole_residue_matrix"] = store.ref(model.pole_residue_matrix());
    form["time_step"] = model.time_step();
    json started = json::array();
    for (char flag : run.started) started.push_back(flag != 0);
    form["state"] = {{"poles", complexes_json(run.state)},
                     {"previous_input", complexes_json(run.previous_input)},
                     {"started", std::move(started)},
                     {"delay_lines", complexes_json(run.delay_lines)},
                     {"delay_position", run.delay_position}};
    form["output"] = complexes_json(run.output);
}

std::shared_ptr<BaseType> time_domain_from_json(const json& form, StoreReader& store) {
    auto matrix = store.ref_as<PoleResidueMatrix>(field(form, "pole_residue_matrix"),
                                                  TypeCode::PoleResidueMatrix, "PoleResidueMatrix");
    const json& state = object_field(form, "state");
    TimeDomainModel::RunState run;
    run.state = complexes_field(state, "poles");
    run.previous_input = complexes_field(state, "previous_input");
    for (const json& flag : array_field(state, "started")) {
        if (!flag.is_boolean()) invalid("started");
        run.started.push_back(flag.get<bool>() ? 1 : 0);
    }
    run.delay_lines = complexes_field(state, "delay_lines");
    const int64_t position = integer_field(state, "delay_position");
    if (position < 0) invalid("delay_position");
    run.delay_position = size_t(position);
    run.output = complexes_field(form, "output");
    return time_domain_model(std::move(matrix), number_field(form, "time_step"), std::move(run));
}

void time_domain_to_twf(const BaseType& object, TwfPayloadWriter& out) {
    const auto& model = static_cast<const TimeDomainModel&>(object);
    const TimeDomainModel::RunState run = model.run_state();
    out.ref(model.pole_residue_matrix());
    out.real(model.time_step());
    write_complexes(out, run.state);
    write_complexes(out, run.previous_input);
    out.count(run.started.size());
    for (char flag : run.started) out.byte(flag != 0);
    write_complexes(out, run.delay_lines);
    out.count(run.delay_position);
    write_complexes(out, run.output);
}

std::shared_ptr<BaseType> time_domain_from_twf(TwfPayloadReader& in) {
    auto matrix = in.ref_as<PoleResidueMatrix>(TypeCode::PoleResidueMatrix, "PoleResidueMatrix");
    const double time_step = in.real();
    TimeDomainModel::RunState run;
    run.state = read_complexes(in);
    run.previous_input = read_complexes(in);
    run.started.resize(in.items(1));
    for (char& flag : run.started) {
        const uint8_t value = in.byte();
        if (value > 1) in.fail();
        flag = char(value);
    }
    run.delay_lines = read_complexes(in);
    run.delay_position = size_t(in.count());
    run.output = read_complexes(in);
    return time_domain_model(std::move(matrix), time_step, std::move(run));
}

// ---- TimeSeries: keys in construction order, one row of values per key.

std::shared_ptr<BaseType> time_series(std::vector<std::string> keys, std::vector<TimeSeries::Row> rows,
                                      double time_step, int64_t time_index) {
    for (size_t i = 0; i < keys.size(); ++i)
        if (std::find(keys.begin(), keys.begin() + long(i), keys[i]) != keys.begin() + long(i))
            throw StoreError("Invalid TimeSeries data: repeated key '" + keys[i] + "'.");
    return build("TimeSeries", [&] {
        return std::make_shared<TimeSeries>(std::move(keys), std::move(rows), time_step, time_index);
    });
}

void time_series_to_json(const BaseType& object, json& form, StoreWriter&) {
    const auto& series = static_cast<const TimeSeries&>(object);
    json values = json::array();
    for (const TimeSeries::Row& row : series.rows()) values.push_back(complexes_json(row));
    form["keys"] = series.keys();
    form["values"] = std::move(values);
    form["time_step"] = series.time_step();
    form["time_index"] = series.time_index();
}

std::shared_ptr<BaseType> time_series_from_json(const json& form, StoreReader&) {
    std::vector<std::string> keys;
    for (const json& key : array_field(form, "keys")) {
        if (!key.is_string()) invalid("keys");
        keys.push_back(key.get<std::string>());
    }
    std::vector<TimeSeries::Row> rows;
    for (const json& row : array_field(form, "values")) rows.push_back(complexes_value(row, "values"));
    return time_series(std::move(keys), std::move(rows), real_value(field(form, "time_step"), "time_step"),
                       integer_field(form, "time_index"));
}

// Keys, the common row length, then the rows' values.
void time_series_to_twf(const BaseType& object, TwfPayloadWriter& out) {
    const auto& series = static_cast<const TimeSeries&>(object);
    out.count(series.keys().size());
    for (const std::string& key : series.keys()) out.string(key);
    out.count(series.length());
    for (const TimeSeries::Row& row : series.rows()) {
        for (const Complex& value : row) {
            out.real(value.real());
            out.real(value.imag());
        }
    }
    out.real(series.time_step());
    out.signed_value(series.time_index());
}

std::shared_ptr<BaseType> time_series_from_twf(TwfPayloadReader& in) {
    std::vector<std::string> keys(in.items(1));
    for (std::string& key : keys) key = in.string();
    const size_t length = in.items(16 * std::max<size_t>(keys.size(), 1));
    std::vector<TimeSeries::Row> rows(keys.size(), TimeSeries::Row(length));
    for (TimeSeries::Row& row : rows)
        for (Complex& value : row) value = {in.real(), in.real()};
    const double time_step = in.real();
    return time_series(std::move(keys), std::move(rows), time_step, in.signed_value());
}

}  // namespace

void add_circuit_codecs(CodecTable& table) {
    table[size_t(TypeCode::SMatrix)] = table_codec<PortTable>();
    table[size_t(TypeCode::ZMatrix)] = table_codec<TerminalTable<ZMatrixTag>>();
    table[size_t(TypeCode::YMatrix)] = table_codec<TerminalTable<YMatrixTag>>();
    table[size_t(TypeCode::MNAMatrix)] = table_codec<TerminalTable<MNAMatrixTag>>();
    table[size_t(TypeCode::PoleResidueMatrix)] = {0, pole_residue_to_json, pole_residue_from_json,
                                                  pole_residue_to_twf, pole_residue_from_twf};
    table[size_t(TypeCode::TimeDomainModel)] = {0, time_domain_to_json, time_domain_from_json,
                                                time_domain_to_twf, time_domain_from_twf};
    table[size_t(TypeCode::TimeSeries)] = {0, time_series_to_json, time_series_from_json, time_series_to_twf,
                                           time_series_from_twf};
}

}  // namespace whistle
