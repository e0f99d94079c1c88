// Stored forms of the foundation types: properties, expressions, interpolators.
#include <cmath>
#include <stdexcept>

#include "core/foundation/expression.hpp"
#include "core/foundation/interpolator.hpp"
#include "core/foundation/properties.hpp"
#include "core/store/store.hpp"

namespace whistle {

namespace {

// ---- Properties: entries of named value lists; items tagged 1 integer, 2 double, 3 bytes,
// 4 list (whose nested lists are written as the empty tag 0).

enum PropertyTag : uint8_t { kEmpty, kInteger, kReal, kText, kList };

void write_item(const PropertyItem& item, TwfPayloadWriter& out, bool nested) {
    std::visit(
        [&](const auto& value) {
            using T = std::decay_t<decltype(value)>;
            if constexpr (std::is_same_v<T, int64_t>) {
                out.byte(kInteger);
                out.signed_value(value);
            } else if constexpr (std::is_same_v<T, double>) {
                out.byte(kReal);
                out.real(value);
            } else if constexpr (std::is_same_v<T, std::string>) {
                out.byte(kText);
                out.string(value);
            } else if (nested) {
                out.byte(kEmpty);
            } else {
                out.byte(kList);
                out.count(value.size());
                for (const PropertyItem& inner : value) write_item(inner, out, true);
            }
        },
        item.value);
}

// Empty tags are skipped: they stand for values that could not be stored.
bool read_item(TwfPayloadReader& in, PropertyItem& item, bool nested) {
    switch (in.byte()) {
        case kEmpty: return false;
        case kInteger: item.value = in.signed_value(); return true;
        case kReal: item.value = in.real(); return true;
        case kText: item.value = in.string(); return true;
        case kList: {
            if (nested) in.fail();
            PropertyItem::List list;
            for (size_t n = in.items(); n > 0; --n) {
                PropertyItem inner;
                if (read_item(in, inner, true)) list.push_back(std::move(inner));
            }
            item.value = std::move(list);
            return true;
        }
        default: in.fail();
    }
}

void properties_to_twf(const BaseType& object, TwfPayloadWriter& out) {
    const auto& properties = static_cast<const Properties&>(object);
    out.count(properties.entries().size());
    for (const auto& [key, value] : properties.entries()) {
        out.string(key);
        out.count(value.size());
        for (const PropertyItem& item : value) write_item(item, out, false);
    }
}

std::shared_ptr<BaseType> properties_from_twf(TwfPayloadReader& in) {
    auto properties = std::make_shared<Properties>();
    for (size_t n = in.items(2); n > 0; --n) {
        std::string key = in.string();
        PropertyValue value;
        for (size_t m = in.items(); m > 0; --m) {
            PropertyItem item;
            if (read_item(in, item, false)) value.push_back(std::move(item));
        }
        properties->set(key, std::move(value));
    }
    return properties;
}

void properties_to_json_form(const BaseType& object, json& form, StoreWriter&) {
    form["entries"] = properties_to_json(static_cast<const Properties&>(object));
}

std::shared_ptr<BaseType> properties_from_json_form(const json& form, StoreReader&) {
    return properties_from_json(object_field(form, "entries"));
}

// Text that the interpreter will show (names, expression sources, messages quoting them) must
// be UTF-8; a corrupt file may hold any bytes.
std::string text_value(const json& value, const char* key) {
    if (value.is_string()) {
        try {
            (void)value.dump();
            return value.get<std::string>();
        } catch (const json::type_error&) {
        }
    }
    throw StoreError(std::string("Invalid value for key '") + key + "'.");
}

std::vector<std::string> strings_value(const json& value, const char* key) {
    if (!value.is_array()) throw StoreError(std::string("Invalid value for key '") + key + "'.");
    std::vector<std::string> result;
    for (const json& item : value) result.push_back(text_value(item, key));
    return result;
}

// ---- Expression: parameter names, then each entry's name, text (empty for a constant) and
// value.

void expression_to_json(const BaseType& object, json& form, StoreWriter&) {
    const auto& expression = static_cast<const Expression&>(object);
    const auto& entries = expression.entries();
    json parameters = json::array();
    json items = json::array();
    for (size_t i = 0; i < entries.size(); ++i) {
        if (i < expression.parameter_count())
            parameters.push_back(entries[i].name);
        else
            items.push_back({{"name", entries[i].name}, {"text", entries[i].text},
                             {"value", real_json(entries[i].value)}});
    }
    form["parameters"] = std::move(parameters);
    form["expressions"] = std::move(items);
}

std::shared_ptr<BaseType> expression_from_json(const json& form, StoreReader&) {
    std::vector<Expression::Item> items;
    for (const json& item : array_field(form, "expressions"))
        items.push_back({text_value(field(item, "name"), "name"), text_value(field(item, "text"), "text"),
                         real_value(field(item, "value"), "value")});
    auto expression = std::make_shared<Expression>(strings_value(field(form, "parameters"), "parameters"), items);
    ErrorHandler report;
    if (!expression->compile(report)) throw StoreError(report.message);
    return expression;
}

// ---- Interpolator: samples row-major, each variable's values (pairs of real and imaginary
// parts for a complex one), the options by name and the parameter names.

json reals_json(const std::vector<double>& values) {
    json result = json::array();
    for (double v : values) result.push_back(real_json(v));
    return result;
}

void interpolator_to_json(const BaseType& object, json& form, StoreWriter&) {
    const auto& interpolator = static_cast<const Interpolator&>(object);
    form["x"] = reals_json(interpolator.x());
    form["dims"] = interpolator.dims();
    json variables = json::array();
    for (const Interpolator::Variable& variable : interpolator.variables()) {
        json values = json::array();
        for (const std::complex<double>& v : variable.values)
            values.push_back(variable.is_complex ? json::array({real_json(v.real()), real_json(v.imag())})
                                                 : real_json(v.real()));
        variables.push_back({{"complex", variable.is_complex}, {"values", std::move(values)}});
    }
    form["variables"] = std::move(variables);
    form["single_variable"] = interpolator.single_variable();
    const Interpolator::Options& options = interpolator.options();
    form["method"] = Interpolator::name(options.method);
    form["coords"] = Interpolator::name(options.coords);
    form["extrapolation"] = Interpolator::name(options.extrapolation);
    form["parameter_names"] = interpolator.parameter_names();
}

template <class T>
T option_field(const json& form, const char* key, std::optional<T> (*parse)(std::string_view)) {
    std::optional<T> value = parse(string_field(form, key));
    if (!value) throw StoreError(std::string("Invalid value for key '") + key + "'.");
    return *value;
}

Interpolator::Variable variable_from_json(const json& form) {
    Interpolator::Variable variable;
    variable.is_complex = bool_field(form, "complex");
    for (const json& v : array_field(form, "values")) {
        if (!variable.is_complex) {
            variable.values.emplace_back(real_value(v, "values"));
        } else if (v.is_array() && v.size() == 2) {
            variable.values.emplace_back(real_value(v[0], "values"), real_value(v[1], "values"));
        } else {
            throw StoreError("Invalid value for key 'values'.");
        }
    }
    return variable;
}

std::shared_ptr<BaseType> interpolator_from_json(const json& form, StoreReader&) {
    std::vector<double> x;
    for (const json& v : array_field(form, "x")) x.push_back(real_value(v, "x"));
    const int64_t dims = integer_field(form, "dims");
    if (dims < 1 || uint64_t(dims) > x.size()) throw StoreError("Invalid value for key 'dims'.");
    std::vector<Interpolator::Variable> variables;
    for (const json& variable : array_field(form, "variables")) variables.push_back(variable_from_json(variable));
    Interpolator::Options options;
    options.method = option_field(form, "method", Interpolator::parse_method);
    options.coords = option_field(form, "coords", Interpolator::parse_coords);
    options.extrapolation = option_field(form, "extrapolation", Interpolator::parse_extrapolation);
    if (dims > 1 && options.method != Interpolator::Method::kLinear)
        throw StoreError("Multidimensional interpolation is only available with 'linear' method.");
    try {
        return std::make_shared<Interpolator>(std::move(x), uint32_t(dims), std::move(variables),
                                              bool_field(form, "single_variable"), options,
                                              strings_value(field(form, "parameter_names"), "parameter_names"));
    } catch (const std::invalid_argument& error) {
        throw StoreError(error.what());
    }
}

}  // namespace

void add_foundation_codecs(CodecTable& table) {
    table[size_t(TypeCode::Properties)] = {1, properties_to_json_form, properties_from_json_form,
                                           properties_to_twf, properties_from_twf};
    table[size_t(TypeCode::Expression)] = {0, expression_to_json, expression_from_json};
    table[size_t(TypeCode::Interpolator)] = {2, interpolator_to_json, interpolator_from_json};
}

}  // namespace whistle
