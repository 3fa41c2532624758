#include "server/cache.h"

#include <functional>

namespace isisim {

size_t SimPacketCache::KeyHash::operator()(const SimPacketKey& k) const {
    size_t h = std::hash<const void*>()(k.stream);
    h = h * 31 + std::hash<int64_t>()(k.first);
    h = h * 31 + std::hash<int64_t>()(int64_t(k.count) << 8 | k.compress);
    return h;
}

SimPacketCache::Payload SimPacketCache::find(const SimPacketKey& key) {
    if (limit_ == 0) return nullptr;
    std::lock_guard<std::mutex> lock(mutex_);
    auto it = entries_.find(key);
    return it == entries_.end() ? nullptr : it->second;
}

void SimPacketCache::insert(const SimPacketKey& key, Payload payload) {
    if (limit_ == 0 || payload == nullptr || payload->size() > limit_) return;
    std::lock_guard<std::mutex> lock(mutex_);
    if (!entries_.emplace(key, payload).second) return;
    order_.push_back(key);
    bytes_ += payload->size();
    while (bytes_ > limit_ && !order_.empty()) {
        auto it = entries_.find(order_.front());
        bytes_ -= it->second->size();
        entries_.erase(it);
        order_.pop_front();
    }
}

}  // namespace isisim
