// What the core's C entries share: statuses from the internal layer's
// outcomes, and the checks of the callers' buffers. Not installed.
#pragma once

#include <cstddef>
#include <cstdint>

#include "convert/PushStream.h"
#include "module/bmpv.h"

namespace sorvane {

inline bmpv_status FromPush(PushStream::Status s) {
    switch (s) {
        case PushStream::Status::Ok:
            return BMPV_OK;
        case PushStream::Status::NotValid:
            return BMPV_E_NOT_VALID;
        case PushStream::Status::Unsupported:
            return BMPV_E_UNSUPPORTED;
        case PushStream::Status::Truncated:
            return BMPV_E_TRUNCATED;
        case PushStream::Status::Finished:
            return BMPV_E_FINISHED;
    }
    return BMPV_E_NOT_VALID;
}

// Whether [a, a + an) and [b, b + bn) share a byte.
inline bool Overlap(const void* a, std::size_t an, const void* b, std::size_t bn) {
    const auto x = reinterpret_cast<std::uintptr_t>(a);
    const auto y = reinterpret_cast<std::uintptr_t>(b);
    return an > 0 && bn > 0 && x < y + bn && y < x + an;
}

}  // namespace sorvane
