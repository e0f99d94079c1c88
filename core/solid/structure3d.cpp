#include "core/solid/structure3d.hpp"

namespace whistle {

std::string Structure3D::medium_text() const { return medium_ ? medium_->str(true) : "None"; }

}  // namespace whistle
