// Root of every core object: type code, lazy identifier, properties, wrapper link.
#pragma once

#include <array>
#include <atomic>
#include <cstdint>
#include <memory>
#include <string>
#include <string_view>

namespace whistle {

class Properties;

enum class TypeCode : uint8_t {
    Void = 0, Store, Properties, RandomVariable, Expression, Native, Medium, LayerSpec,
    MaskSpec, ExtrusionSpec, PortSpec, Technology, Rectangle, Circle, Polygon, Path,
    Polyhedron, Extruded, ConstructiveSolid, Label, Port, FiberPort, GaussianPort, Terminal,
    Model, Reference, Component, SMatrix, PoleResidueMatrix, TimeDomainModel, TimeSeries,
    TimeStepper, Interpolator, ZMatrix, YMatrix, MNAMatrix, PathLengthMatching,
};

constexpr int kTypeCodeCount = 37;

// Name of a type code; empty for codes outside the table.
std::string_view type_name(int code);
// Code of a type name, or -1.
int type_code(std::string_view name);

using Uuid = std::array<uint8_t, 16>;

class BaseType {
public:
    explicit BaseType(TypeCode code) : type_code_(code) {}
    // Copies carry the value fields and a deep copy of the properties, never the identity.
    BaseType(const BaseType& other);
    // Moves (of temporaries: returned values, growing vectors) take the properties over instead.
    BaseType(BaseType&& other) noexcept
        : type_code_(other.type_code_), properties_(std::move(other.properties_)) {}
    BaseType& operator=(const BaseType&) = delete;

    // Appends the content as raw bytes; false when the class has no byte form.
    virtual bool content_bytes(std::string& out) const;
    virtual std::string id_text() const;
    virtual ~BaseType();
    virtual std::string str(bool representation) const;

    // A new object of the same class with the same value fields.
    virtual std::shared_ptr<BaseType> clone() const = 0;
    // Value equality; identity, wrapper link and properties are never compared.
    virtual bool equals(const BaseType& other) const = 0;

    TypeCode type_code() const { return type_code_; }

    // Created empty on first access and kept afterwards.
    const std::shared_ptr<Properties>& properties();
    // The properties when any were ever created; null otherwise (readers that must not create).
    const Properties* existing_properties() const { return properties_.get(); }
    // Loaders attach the properties they read.
    void set_properties(std::shared_ptr<Properties> properties) { properties_ = std::move(properties); }

    const Uuid& id() const;
    void set_id(const Uuid& id);
    // Accepts the forms of Boost's string generator; throws std::runtime_error otherwise.
    void set_id_text(const std::string& text);

    // Non-owning link to the interpreter object that currently wraps this object.
    void* wrapper() const { return wrapper_; }
    void set_wrapper(void* wrapper) { wrapper_ = wrapper; }

private:
    void generate_id() const;

    TypeCode type_code_;
    std::shared_ptr<Properties> properties_;
    void* wrapper_ = nullptr;
    mutable Uuid id_{};
    mutable std::atomic<bool> id_set_{false};
};

// Two shared objects (either may be null) are the same object or equal in value.
template <class T>
bool same_or_equal(const std::shared_ptr<T>& a, const std::shared_ptr<T>& b) {
    return a == b || (a && b && a->equals(*b));
}

// Implements clone() for a copyable class.
template <class Derived, class Base>
class Cloneable : public Base {
public:
    using Base::Base;
    std::shared_ptr<BaseType> clone() const override {
        return std::make_shared<Derived>(static_cast<const Derived&>(*this));
    }
};

}  // namespace whistle
