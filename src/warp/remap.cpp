// Placeholder until the samplers land.
#include "warp/remap.hpp"
#include "warp/perspective.hpp"

namespace vantrell::warp {

template <class T, int C>
std::optional<SizeMismatch> remap(std::span<const T>, std::size_t, std::size_t,
                                  std::span<const float>, std::span<const float>,
                                  std::size_t, std::size_t, Filter, std::span<T>) {
    return std::nullopt;
}
template <class T>
std::optional<SizeMismatch> warp_rgb(std::span<const T>, std::size_t, std::size_t,
                                     std::size_t, std::size_t,
                                     const std::array<double, 9>&, double,
                                     double, double, Filter, std::span<T>) {
    return std::nullopt;
}
template std::optional<SizeMismatch> remap<std::uint8_t, 1>(std::span<const std::uint8_t>, std::size_t, std::size_t, std::span<const float>, std::span<const float>, std::size_t, std::size_t, Filter, std::span<std::uint8_t>);
template std::optional<SizeMismatch> remap<std::uint8_t, 3>(std::span<const std::uint8_t>, std::size_t, std::size_t, std::span<const float>, std::span<const float>, std::size_t, std::size_t, Filter, std::span<std::uint8_t>);
template std::optional<SizeMismatch> remap<std::uint16_t, 1>(std::span<const std::uint16_t>, std::size_t, std::size_t, std::span<const float>, std::span<const float>, std::size_t, std::size_t, Filter, std::span<std::uint16_t>);
template std::optional<SizeMismatch> remap<std::uint16_t, 3>(std::span<const std::uint16_t>, std::size_t, std::size_t, std::span<const float>, std::span<const float>, std::size_t, std::size_t, Filter, std::span<std::uint16_t>);
template std::optional<SizeMismatch> warp_rgb<std::uint8_t>(std::span<const std::uint8_t>, std::size_t, std::size_t, std::size_t, std::size_t, const std::array<double, 9>&, double, double, double, Filter, std::span<std::uint8_t>);
template std::optional<SizeMismatch> warp_rgb<std::uint16_t>(std::span<const std::uint16_t>, std::size_t, std::size_t, std::size_t, std::size_t, const std::array<double, 9>&, double, double, double, Filter, std::span<std::uint16_t>);

}  // namespace vantrell::warp
