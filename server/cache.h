// Built packets kept for reuse, as a disk-loop server keeps its packets: a window that several
// clients (or one client again) ask for is computed and compressed once. Bounded by bytes; the
// oldest entries go first.
#pragma once

#include <cstddef>
#include <cstdint>
#include <deque>
#include <memory>
#include <mutex>
#include <unordered_map>
#include <vector>

namespace isisim {

struct SimPacketKey {
    const void* stream = nullptr;
    int64_t first = 0;  // index of the first sample
    int32_t count = 0;
    uint32_t compress = 0;
    bool operator==(const SimPacketKey&) const = default;
};

class SimPacketCache {
  public:
    using Payload = std::shared_ptr<const std::vector<uint8_t>>;

    explicit SimPacketCache(size_t limitBytes) : limit_(limitBytes) {}

    // The payload built before for key, or none.
    Payload find(const SimPacketKey& key);
    void insert(const SimPacketKey& key, Payload payload);
    bool enabled() const { return limit_ > 0; }

  private:
    struct KeyHash {
        size_t operator()(const SimPacketKey& k) const;
    };
    std::mutex mutex_;
    size_t limit_;
    size_t bytes_ = 0;
    std::unordered_map<SimPacketKey, Payload, KeyHash> entries_;
    std::deque<SimPacketKey> order_;  // oldest first
};

}  // namespace isisim
