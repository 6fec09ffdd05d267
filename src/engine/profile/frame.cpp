// The page's boxes as the steps read them: finite or not (step 1), the frame
// the relative settings refer to (step 2), the engine's scale, the widest
// empty band among some intervals and the radix sort of keyed boxes.
//
// Every min and max is std::min(acc, value) / std::max(acc, value), which
// keeps the accumulated value on a tie (see profile_steps.hpp).

#include "profile/profile_steps.hpp"

namespace quorlin::engine::detail {

bool all_finite(std::span<const PageBox> boxes) noexcept {
    // As is_finite, over all the boxes: each coordinate minus itself is 0 or
    // NaN, so the sums are 0 exactly when every coordinate is finite, in
    // whatever order they are added (a sum for each coordinate, which the
    // compiler may add as pairs).
    double sum[4] = {0.0, 0.0, 0.0, 0.0};
    for (const PageBox& box : boxes) {
        sum[0] += box.x1 - box.x1;
        sum[1] += box.y1 - box.y1;
        sum[2] += box.x2 - box.x2;
        sum[3] += box.y2 - box.y2;
    }
    return sum[0] + sum[1] + sum[2] + sum[3] == 0.0;
}

PageBox page_frame(const PageBox* bounds, std::span<const PageBox> boxes,
                   std::span<const std::uint32_t> good) noexcept {
    if (bounds != nullptr && is_finite(*bounds)) {
        const PageBox frame = normalised(*bounds);
        if (frame.x2 > frame.x1 && frame.y2 > frame.y1) {
            return frame;
        }
    }
    if (good.empty()) {
        return {};
    }
    PageBox frame = normalised(boxes[good.front()]);
    for (const std::uint32_t k : good.subspan(1)) {
        const PageBox b = normalised(boxes[k]);
        frame.x1 = std::min(frame.x1, b.x1);
        frame.y1 = std::min(frame.y1, b.y1);
        frame.x2 = std::max(frame.x2, b.x2);
        frame.y2 = std::max(frame.y2, b.y2);
    }
    return frame;
}

double engine_scale(const PageBox& frame) noexcept {
    const double longest = std::max(frame.x2 - frame.x1, frame.y2 - frame.y1);
    if (!(longest > 0) || !(longest < kScaleSide)) {
        return 1.0;  // large enough, empty, or no number
    }
    double scale = 1.0;
    for (int k = 0; k < kMostScaleDoublings && longest * scale < kScaleSide; ++k) {
        scale *= 2.0;
    }
    return longest * scale < kScaleSide ? 1.0 : scale;
}

Band widest_empty_band(std::span<std::pair<double, double>> intervals, double lo, double hi) {
    std::sort(intervals.begin(), intervals.end());
    Band best{0.0, lo};
    double reach = lo;
    for (const auto& [a, b] : intervals) {
        if (a > reach && a - reach > best.width) {
            best = {a - reach, (reach + a) / 2};
        }
        reach = std::max(reach, b);
    }
    if (hi > reach && hi - reach > best.width) {
        best = {hi - reach, (reach + hi) / 2};
    }
    return best;
}

void sort_by_key(std::vector<KeyedBox>& items, std::vector<KeyedBox>& spare, std::vector<std::uint32_t>& counts) {
    constexpr std::size_t kDigits = 1 << 8;
    spare.resize(items.size());
    counts.resize(kDigits);
    for (int shift = 0; shift < 64; shift += 8) {
        std::fill(counts.begin(), counts.end(), 0);
        for (const KeyedBox& item : items) {
            ++counts[(item.key >> shift) & (kDigits - 1)];
        }
        if (items.empty() || counts[(items.front().key >> shift) & (kDigits - 1)] == items.size()) {
            continue;  // every key has this digit: the pass would change nothing
        }
        std::uint32_t at = 0;
        for (std::uint32_t& count : counts) {
            const std::uint32_t here = count;
            count = at;
            at += here;
        }
        for (const KeyedBox& item : items) {
            spare[counts[(item.key >> shift) & (kDigits - 1)]++] = item;
        }
        items.swap(spare);
    }
}

}  // namespace quorlin::engine::detail
