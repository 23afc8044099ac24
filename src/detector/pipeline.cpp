// Placeholder until the detection stages land.
#include "detector/detect.hpp"

namespace vantrell::detector {

template <class T>
Result<std::vector<Segment>> detect(std::span<const T> samples, std::size_t width,
                                    std::size_t height, double) {
    SizeMismatch e{};
    if (!checked_mul(width, height, &e.expected) || !size_matches(width * height, samples.size(), &e))
        return e;
    return std::vector<Segment>{};
}

bool fits_pixel_indices(std::size_t, std::size_t, double) { return true; }

template Result<std::vector<Segment>> detect(std::span<const std::uint8_t>, std::size_t, std::size_t, double);
template Result<std::vector<Segment>> detect(std::span<const std::uint16_t>, std::size_t, std::size_t, double);
template Result<std::vector<Segment>> detect(std::span<const float>, std::size_t, std::size_t, double);
template Result<std::vector<Segment>> detect(std::span<const double>, std::size_t, std::size_t, double);

}  // namespace vantrell::detector
