#include "convert/ConvertFile.h"

#include <algorithm>

#include "convert/BMPColourPlan.h"
#include "convert/BMPLayout.h"

namespace sorvane {

namespace {

// Plans the file from its first part and tones each part's colours as soon
// as the part is read, while it is still in the cache. A refused file is
// never touched.
class ToneAsRead final : public ReadObserver {
  public:
    void Arrived(std::span<std::uint8_t> file, std::size_t arrived) override {
        if (!planned_) {
            if (arrived < std::min(file.size(), kPlanHeadBytes)) return;
            planned_ = true;
            plannedSize_ = file.size();
            status_ = PlanColours(file.first(arrived), file.size(), plan_);
        }
        if (status_ != LayoutStatus::Converted) return;
        ToneColoursArrived(file, plan_, toned_, arrived);
        toned_ = arrived;
    }

    // Whether the whole of a file of `size` bytes was planned and toned as
    // it arrived; `status` is then the outcome.
    bool Finished(std::size_t size, LayoutStatus& status) const {
        if (!planned_ || plannedSize_ != size) return false;
        if (status_ == LayoutStatus::Converted && toned_ != size) return false;
        status = status_;
        return true;
    }
    // Whether any byte has been changed.
    bool Touched() const { return toned_ > 0; }

  private:
    bool planned_ = false;
    std::size_t plannedSize_ = 0;
    LayoutStatus status_ = LayoutStatus::NotValid;
    ColourPlan plan_;
    std::size_t toned_ = 0;
};

ReadStatus ReadAndTone(const NativePath& input, ByteBuffer& file, LayoutStatus& layout) {
    ToneAsRead toner;
    const ReadStatus read = ReadWholeBMP(input, file, &toner);
    if (read != ReadStatus::Ok) return read;
    if (toner.Finished(file.size, layout)) return read;
    if (toner.Touched()) {
        // The file shrank after toning began (or the reader stopped early):
        // read it again, as it is now, and take it whole.
        file = ByteBuffer{};
        const ReadStatus again = ReadWholeBMP(input, file);
        if (again != ReadStatus::Ok) return again;
    }
    layout = ToneBMPFile(file.bytes());
    return ReadStatus::Ok;
}

std::string_view Convert(const std::optional<NativePath>& input,
                         const std::optional<NativePath>& output) {
    if (!input) return "Error opening input file";

    ByteBuffer file;
    LayoutStatus layout = LayoutStatus::NotValid;
    switch (ReadAndTone(*input, file, layout)) {
        case ReadStatus::Ok:
            break;
        case ReadStatus::OpenFailed:
            return "Error opening input file";
        case ReadStatus::NotValid:
            return LayoutStatusLine(LayoutStatus::NotValid);
        case ReadStatus::NoMemory:
            return "Not enough memory";
        case ReadStatus::ReadFailed:
            return "Error reading input file";
    }
    // The input is closed by now, so input and output may be the same file.

    if (layout != LayoutStatus::Converted) return LayoutStatusLine(layout);

    if (!output) return "Error opening output file";
    switch (ReplaceFile(*output, file.bytes())) {
        case WriteStatus::Ok:
            return {};
        case WriteStatus::OpenFailed:
            return "Error opening output file";
        case WriteStatus::WriteFailed:
            return "Error writing output file";
    }
    return "Error writing output file";
}

}  // namespace

std::string_view ConvertFile(const std::optional<NativePath>& input,
                             const std::optional<NativePath>& output) noexcept {
    try {
        return Convert(input, output);
    } catch (...) {
        return "Not enough memory";
    }
}

}  // namespace sorvane
