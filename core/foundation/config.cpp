#include "config.hpp"

namespace whistle {

Config& config() {
    static Config instance;
    return instance;
}

}  // namespace whistle
