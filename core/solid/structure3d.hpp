// Base of the solids: a medium and the copy every solid class provides.
#pragma once

#include <array>
#include <memory>

#include "core/foundation/base_type.hpp"
#include "core/foundation/units.hpp"

namespace whistle {

// A vertex of a mesh, in database units.
struct MeshVertex {
    Coord x = 0;
    Coord y = 0;
    Coord z = 0;
    bool operator==(const MeshVertex&) const = default;
};

class Structure3D : public BaseType {
public:
    // The medium is a holder of one solver medium object (type code Medium), or null.
    Structure3D(TypeCode code, std::shared_ptr<BaseType> medium)
        : BaseType(code), medium_(std::move(medium)) {}

    const std::shared_ptr<BaseType>& medium() const { return medium_; }
    void set_medium(std::shared_ptr<BaseType> medium) { medium_ = std::move(medium); }

    // Deep copies also copy the shared parts (faces, operands); shallow ones share them.
    virtual std::shared_ptr<Structure3D> copy(bool deep) const = 0;

    std::shared_ptr<BaseType> clone() const override { return copy(false); }

protected:
    bool same_medium(const Structure3D& other) const { return same_or_equal(medium_, other.medium_); }
    // The medium's representation, or "None".
    std::string medium_text() const;

private:
    std::shared_ptr<BaseType> medium_;
};

}  // namespace whistle
