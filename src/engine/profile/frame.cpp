// The page's boxes as the steps read them: finite or not (step 1), the frame
// the relative settings refer to (step 2) and the engine's scale.
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

}  // namespace quorlin::engine::detail
