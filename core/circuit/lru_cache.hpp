// A thread-safe map from byte-string keys to shared results that forgets the least recently
// used entry when full.
#pragma once

#include <cstdint>
#include <list>
#include <memory>
#include <mutex>
#include <string>
#include <unordered_map>

namespace whistle {

template <class Value>
class LruCache {
public:
    static constexpr int64_t kDefaultCapacity = 64;

    // A capacity below 1 means no limit.
    explicit LruCache(int64_t capacity = kDefaultCapacity) : capacity_(capacity) {}

    // The entry of `key`, now the most recently used; null when absent.
    std::shared_ptr<const Value> find(const std::string& key) {
        std::lock_guard lock(mutex_);
        auto it = entries_.find(key);
        if (it == entries_.end()) return nullptr;
        order_.splice(order_.begin(), order_, it->second.position);
        return it->second.value;
    }

    void insert(const std::string& key, std::shared_ptr<const Value> value) {
        std::lock_guard lock(mutex_);
        auto [it, added] = entries_.try_emplace(key);
        if (!added) order_.erase(it->second.position);
        order_.push_front(&it->first);
        it->second = {std::move(value), order_.begin()};
        evict();
    }

    // The entry of `key`, or the value of `compute()` stored under it. The computation runs
    // without the lock, so two threads may compute the same entry; the later one is kept.
    template <class Compute>
    std::shared_ptr<const Value> find_or_insert(const std::string& key, Compute&& compute) {
        if (auto found = find(key)) return found;
        auto value = std::make_shared<const Value>(compute());
        insert(key, value);
        return value;
    }

    size_t size() const {
        std::lock_guard lock(mutex_);
        return entries_.size();
    }

    void clear() {
        std::lock_guard lock(mutex_);
        entries_.clear();
        order_.clear();
    }

    void set_capacity(int64_t capacity) {
        std::lock_guard lock(mutex_);
        capacity_ = capacity;
        evict();
    }

private:
    struct Entry {
        std::shared_ptr<const Value> value;
        // Where the key sits in the use order.
        typename std::list<const std::string*>::iterator position;
    };

    // Drops least recently used entries until the size fits; the caller holds the lock.
    void evict() {
        while (capacity_ > 0 && entries_.size() > size_t(capacity_)) {
            const std::string* oldest = order_.back();
            order_.pop_back();
            entries_.erase(*oldest);
        }
    }

    mutable std::mutex mutex_;
    int64_t capacity_;
    // Keys in use order, most recent first; they point at the map's own keys, which stay put.
    std::list<const std::string*> order_;
    std::unordered_map<std::string, Entry> entries_;
};

}  // namespace whistle
