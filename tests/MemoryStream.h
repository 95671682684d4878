// A byte source and a byte sink over memory, for driving the streaming
// conversion without files: reads come in parts of chosen sizes, and either
// side can be told to fail at a given offset.
#pragma once

#include <algorithm>
#include <cstdint>
#include <cstring>
#include <functional>
#include <span>
#include <vector>

#include "convert/ConvertStream.h"

namespace memstream {

class MemorySource final : public sorvane::ByteSource {
  public:
    // `part(i)` is the most the i-th read returns (at least 1 is used).
    explicit MemorySource(std::span<const std::uint8_t> bytes,
                          std::function<std::size_t(std::size_t)> part = {})
        : bytes_(bytes), part_(std::move(part)) {}

    long long Read(std::uint8_t* to, std::size_t n) override {
        if (n == 0) return -1;  // the loop never asks for nothing
        std::size_t take = std::min(n, bytes_.size() - at_);
        if (part_) take = std::min(take, std::max<std::size_t>(1, part_(reads_)));
        ++reads_;
        if (failAt >= 0 && at_ + take > static_cast<std::uint64_t>(failAt)) return -1;
        std::memcpy(to, bytes_.data() + at_, take);
        at_ += take;
        return static_cast<long long>(take);
    }
    bool Unchanged() override { return !changed; }

    std::size_t position() const { return at_; }

    long long failAt = -1;  // a read reaching past this offset fails
    bool changed = false;   // what Unchanged() reports

  private:
    std::span<const std::uint8_t> bytes_;
    std::function<std::size_t(std::size_t)> part_;
    std::size_t at_ = 0;
    std::size_t reads_ = 0;
};

class MemorySink final : public sorvane::ByteSink {
  public:
    bool Write(std::span<const std::uint8_t> b) override {
        if (failAt >= 0 && bytes.size() + b.size() > static_cast<std::uint64_t>(failAt))
            return false;
        bytes.insert(bytes.end(), b.begin(), b.end());
        return true;
    }

    std::vector<std::uint8_t> bytes;
    long long failAt = -1;  // a write reaching past this offset fails
};

// ConvertStream from `in` into `out` through a buffer of `bufferSize` bytes.
inline sorvane::StreamStatus Convert(sorvane::ByteSource& in, std::uint64_t size,
                                     std::size_t bufferSize, sorvane::ByteSink* out) {
    std::vector<std::uint8_t> buffer(bufferSize);
    return sorvane::ConvertStream(in, size, buffer, [out] { return out; });
}

}  // namespace memstream
