// Region refinement: re-growth with a tolerance from the angles near the seed,
// then shrinking around the seed.
#include "detector/refine.hpp"

#include <cmath>

namespace vantrell::detector {
namespace {

constexpr double RADIUS_FACTOR = 0.75;

double angle_of(const Px& cell) {
    return std::atan2(static_cast<double>(cell.sin_angle), static_cast<double>(cell.cos_angle));
}

// sqrt(ex^2 + ey^2) for the offsets (ex, ey) of pixel `index` from the seed
// at (xs, ys).
double root_distance(std::uint32_t index, double xs, double ys, std::uint32_t width) {
    const double ex = static_cast<double>(index % width) - xs;
    const double ey = static_cast<double>(index / width) - ys;
    return std::sqrt(ex * ex + ey * ey);
}

// The distance of pixel `index`, whose root_distance is `root`, from the seed
// as far as a comparison with `radius` can tell: hypot when the two are close,
// otherwise `root`. The offsets are whole numbers, so the sum of squares is
// within two units in the last place of the exact one, its square root within
// about three, and hypot within one of the exact distance: a square root more
// than 1e-12 relative away from `radius` lies on the same side of it as hypot
// does (and never equals it). NaN and infinite radii fall through to hypot.
double distance(std::uint32_t index, double root, double xs, double ys, std::uint32_t width, double radius) {
    if (std::fabs(root - radius) > root * 1e-12) return root;
    const double ex = static_cast<double>(index % width) - xs;
    const double ey = static_cast<double>(index / width) - ys;
    return std::hypot(ex, ey);
}

// shrink_region with each pixel's root_distance in `roots`, kept in step with
// the region's order.
void shrink_with_roots(std::vector<std::uint32_t>& region, std::vector<double>& roots,
                       std::span<std::uint8_t> used, double radius, std::uint32_t width) {
    const std::uint32_t seed = region.front();
    const double xs = static_cast<double>(seed % width);
    const double ys = static_cast<double>(seed / width);
    std::size_t i = 0;
    while (i < region.size()) {
        if (distance(region[i], roots[i], xs, ys, width, radius) > radius) {
            used[region[i]] = 0;
            region[i] = region.back();
            region.pop_back();
            roots[i] = roots.back();
            roots.pop_back();
        } else {
            ++i;
        }
    }
}

// The root_distance of each pixel of a region, in the region's order.
std::vector<double> roots_of(std::span<const std::uint32_t> region, std::uint32_t width) {
    const std::uint32_t seed = region.front();
    const double xs = static_cast<double>(seed % width);
    const double ys = static_cast<double>(seed / width);
    std::vector<double> roots(region.size());
    for (std::size_t i = 0; i < region.size(); ++i) roots[i] = root_distance(region[i], xs, ys, width);
    return roots;
}

}  // namespace

void shrink_region(std::vector<std::uint32_t>& region, std::span<std::uint8_t> used, double radius,
                   std::uint32_t width) {
    std::vector<double> roots = roots_of(region, width);
    shrink_with_roots(region, roots, used, radius, width);
}

bool dense_enough(std::size_t pixels, const Rect& rect) {
    double area = std::hypot(rect.x2 - rect.x1, rect.y2 - rect.y1) * rect.width;
    if (!(area > 1.0)) area = 1.0;
    return static_cast<double>(pixels) / area >= DENSITY_THRESHOLD;
}

bool refine(std::vector<std::uint32_t>& region, Rect& rect, std::span<std::uint8_t> used,
            std::span<const Px> field, std::uint32_t min_reg_size, std::uint32_t width,
            std::uint32_t height) {
    if (dense_enough(region.size(), rect)) return true;

    const std::uint32_t seed = region.front();
    const double xs = static_cast<double>(seed % width);
    const double ys = static_cast<double>(seed / width);

    // Spread of the level-line angles within the rectangle's width of the seed,
    // each taken relative to the seed's angle and wrapped into (-pi, pi].
    const double seed_angle = angle_of(field[seed]);
    const double radius = rect.width;
    std::uint32_t count = 0;
    double sum = 0.0, sum_sq = 0.0;
    for (std::uint32_t index : region) {
        const double root = root_distance(index, xs, ys, width);
        if (!(distance(index, root, xs, ys, width, radius) < radius)) continue;
        double d = angle_of(field[index]) - seed_angle;
        while (d <= -PI) d += TWO_PI;
        while (d > PI) d -= TWO_PI;
        ++count;
        sum += d;
        sum_sq += d * d;
    }
    const double mean = sum / static_cast<double>(count);
    double variance = sum_sq / static_cast<double>(count) - mean * mean;
    if (!(variance > 0.0)) variance = 0.0;
    const double tolerance = 2.0 * std::sqrt(variance);

    // Re-grow from the seed with the new tolerance.
    for (std::uint32_t index : region) used[index] = 0;
    const double angle = grow_region(seed, field, used, region, width, height, tolerance);
    if (region.size() < min_reg_size) return false;
    rect = region_to_rect(region, field, width, angle, rect.p);
    if (dense_enough(region.size(), rect)) return true;

    // Shrink around the seed: drop the pixels beyond a radius that falls by a
    // quarter each round. The seed, at distance 0, stays first.
    const double to_first = std::hypot(xs - rect.x1, ys - rect.y1);
    const double to_second = std::hypot(xs - rect.x2, ys - rect.y2);
    double r = std::isnan(to_first) ? to_second
             : std::isnan(to_second) ? to_first
             : (to_first > to_second ? to_first : to_second);
    // Each pixel's distance from the seed, worked out once for every round.
    std::vector<double> roots = roots_of(region, width);
    for (;;) {
        r = r * RADIUS_FACTOR;
        // A radius that does not fall (infinite or NaN, only from non-finite
        // rectangles) would never shrink the region.
        if (!std::isfinite(r)) return false;
        shrink_with_roots(region, roots, used, r, width);
        if (region.size() < min_reg_size) return false;
        rect = region_to_rect(region, field, width, angle, rect.p);
        if (dense_enough(region.size(), rect)) return true;
    }
}

}  // namespace vantrell::detector
