#include "convert/PushStream.h"

#include <algorithm>
#include <cstring>
#include <limits>

namespace sorvane {

namespace {

constexpr std::uint64_t kUnknownSize = std::numeric_limits<std::uint64_t>::max();

}  // namespace

PushStream::Status PushStream::Refuse(Status s) {
    refusal_ = s;
    return s;
}

std::size_t PushStream::Hand(const std::uint8_t* held, std::size_t heldSize, const std::uint8_t* in,
                             std::size_t n, std::uint8_t* out) {
    // `in` may lie under `out`: moved first, then the held bytes before it.
    if (n > 0) std::memmove(out + heldSize, in, n);
    if (heldSize > 0) std::memcpy(out, held, heldSize);
    const std::size_t window = heldSize + n;
    const std::size_t ready = toner_->Arrived({out, window});
    cutHave_ = window - ready;
    if (cutHave_ > 0) std::memcpy(cut_, out + ready, cutHave_);
    return ready;
}

PushStream::Status PushStream::Push(const std::uint8_t* in, std::size_t n, std::uint8_t* out,
                                    std::size_t& written) {
    written = 0;
    if (refusal_ != Status::Ok) return refusal_;
    if (finished_) return Status::Finished;
    seen_ += n;
    if (!toner_ && !draining_) {
        const std::size_t take = std::min(n, kPlanHeadBytes - headHave_);
        if (take > 0) std::memcpy(head_ + headHave_, in, take);
        headHave_ += take;
        in += take;
        n -= take;
        if (headHave_ < kPlanHeadBytes) return Status::Ok;
        ColourPlan plan;
        const StreamStatus s = PlanStream({head_, headHave_}, kUnknownSize, plan);
        if (s == StreamStatus::Unsupported) {
            draining_ = true;
        } else if (s != StreamStatus::Converted) {
            return Refuse(Status::NotValid);
        } else {
            toner_.emplace(plan, kUnknownSize);
            written = Hand(head_, headHave_, in, n, out);
            return Status::Ok;
        }
    }
    if (draining_) {
        ColourPlan plan;
        return PlanStream({head_, headHave_}, seen_, plan) == StreamStatus::Unsupported
                   ? Refuse(Status::Unsupported)
                   : Status::Ok;
    }
    std::uint8_t cut[sizeof cut_];
    const std::size_t cutSize = cutHave_;
    std::memcpy(cut, cut_, cutSize);
    written = Hand(cut, cutSize, in, n, out);
    return Status::Ok;
}

PushStream::Status PushStream::Finish(std::uint8_t* out, std::size_t& written) {
    written = 0;
    if (refusal_ != Status::Ok) return refusal_;
    if (finished_) return Status::Finished;
    // The real size, planned again for its refusals.
    ColourPlan plan;
    const StreamStatus s = PlanStream({head_, headHave_}, seen_, plan);
    if (s != StreamStatus::Converted || draining_) {
        // Accepted as unending, refused at its size: it was cut short.
        if (toner_) return Refuse(Status::Truncated);
        return Refuse(s == StreamStatus::Unsupported ? Status::Unsupported : Status::NotValid);
    }
    finished_ = true;
    if (!toner_) {
        // Shorter than the head: planned and toned at its size in one go.
        toner_.emplace(plan, seen_);
        written = Hand(head_, headHave_, nullptr, 0, out);
        return Status::Ok;
    }
    toner_->SetSize(seen_);
    std::uint8_t cut[sizeof cut_];
    const std::size_t cutSize = cutHave_;
    std::memcpy(cut, cut_, cutSize);
    written = Hand(cut, cutSize, nullptr, 0, out);
    return Status::Ok;
}

}  // namespace sorvane
