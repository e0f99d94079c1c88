#include "base_type.hpp"

#include <pthread.h>
#include <sys/random.h>

#include <boost/uuid/string_generator.hpp>
#include <boost/uuid/uuid.hpp>
#include <boost/uuid/uuid_io.hpp>
#include <algorithm>
#include <cerrno>
#include <cstring>
#include <mutex>
#include <stdexcept>

#include "properties.hpp"

namespace whistle {

namespace {

constexpr std::array<std::string_view, kTypeCodeCount> kTypeNames = {
    "Void", "Store", "Properties", "RandomVariable", "Expression", "Native", "Medium",
    "LayerSpec", "MaskSpec", "ExtrusionSpec", "PortSpec", "Technology", "Rectangle", "Circle",
    "Polygon", "Path", "Polyhedron", "Extruded", "ConstructiveSolid", "Label", "Port",
    "FiberPort", "GaussianPort", "Terminal", "Model", "Reference", "Component", "SMatrix",
    "PoleResidueMatrix", "TimeDomainModel", "TimeSeries", "TimeStepper", "Interpolator",
    "ZMatrix", "YMatrix", "MNAMatrix", "PathLengthMatching",
};

std::mutex id_mutex;

}  // namespace

std::string_view type_name(int code) {
    if (code < 0 || code >= kTypeCodeCount) return {};
    return kTypeNames[code];
}

int type_code(std::string_view name) {
    for (int i = 0; i < kTypeCodeCount; ++i)
        if (kTypeNames[i] == name) return i;
    return -1;
}

BaseType::BaseType(const BaseType& other) : type_code_(other.type_code_) {
    if (other.properties_) properties_ = std::make_shared<Properties>(*other.properties_);
}

BaseType::~BaseType() = default;

bool BaseType::content_bytes(std::string&) const { return false; }

std::string BaseType::str(bool) const { return std::string(type_name(int(type_code_))); }

const std::shared_ptr<Properties>& BaseType::properties() {
    if (!properties_) properties_ = std::make_shared<Properties>();
    return properties_;
}

namespace {

// Random bytes from the system, drawn a block at a time: one system call per 256 identifiers.
// A forked child starts on a fresh block, so parent and child never hand out the same bytes.
// Called with id_mutex held.
std::array<uint8_t, 4096> random_pool;
size_t random_used = random_pool.size();

void random_bytes(uint8_t* out, size_t count) {
    static const int registered = pthread_atfork(nullptr, nullptr, [] { random_used = random_pool.size(); });
    (void)registered;
    while (count > 0) {
        if (random_used == random_pool.size()) {
            size_t filled = 0;
            while (filled < random_pool.size()) {
                ssize_t n = getrandom(random_pool.data() + filled, random_pool.size() - filled, 0);
                if (n < 0) {
                    if (errno == EINTR) continue;
                    throw std::runtime_error(std::string("getrandom failed: ") + std::strerror(errno));
                }
                filled += size_t(n);
            }
            random_used = 0;
        }
        const size_t take = std::min(count, random_pool.size() - random_used);
        std::memcpy(out, random_pool.data() + random_used, take);
        random_used += take;
        out += take;
        count -= take;
    }
}

}  // namespace

void BaseType::generate_id() const {
    std::lock_guard<std::mutex> lock(id_mutex);
    if (id_set_.load()) return;
    Uuid bytes;
    random_bytes(bytes.data(), bytes.size());
    bytes[6] = uint8_t((bytes[6] & 0x4F) | 0x40);
    bytes[8] = uint8_t((bytes[8] & 0xBF) | 0x80);
    id_ = bytes;
    id_set_.store(true);
}

const Uuid& BaseType::id() const {
    if (!id_set_.load()) generate_id();
    return id_;
}

void BaseType::set_id(const Uuid& id) {
    std::lock_guard<std::mutex> lock(id_mutex);
    id_ = id;
    id_set_.store(true);
}

std::string BaseType::id_text() const {
    boost::uuids::uuid u;
    const Uuid& bytes = id();
    std::copy(bytes.begin(), bytes.end(), u.begin());
    return boost::uuids::to_string(u);
}

void BaseType::set_id_text(const std::string& text) {
    boost::uuids::uuid u = boost::uuids::string_generator()(text);  // throws "invalid uuid string"
    Uuid bytes;
    std::copy(u.begin(), u.end(), bytes.begin());
    set_id(bytes);
}

}  // namespace whistle
