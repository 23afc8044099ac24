// Region growing over aligned level lines, and the rectangle of a region.
#include "detector/region.hpp"

#include <algorithm>
#include <cmath>

namespace vantrell::detector {

double grow_region(std::uint32_t seed, std::span<const Px> field, std::span<std::uint8_t> used,
                   std::vector<std::uint32_t>& region, std::uint32_t width, std::uint32_t height,
                   double tolerance) {
    const RegionSums sums =
        grow_region_sums(seed, field, used, region, width, height, std::cos(tolerance));
    return std::atan2(sums.sum_y, sums.sum_x);
}

RegionSums grow_region_sums(std::uint32_t seed, std::span<const Px> field,
                            std::span<std::uint8_t> used, std::vector<std::uint32_t>& region,
                            std::uint32_t width, std::uint32_t height, double cos_tolerance) {
    region.clear();
    region.push_back(seed);
    used[seed] = 1;

    const double c = cos_tolerance;
    double sum_x = static_cast<double>(field[seed].cos_angle);
    double sum_y = static_cast<double>(field[seed].sin_angle);
    double accept = c;  // the seed's vector has length 1
    // After a pixel joins, the threshold is c x hypot(sum). The sums add
    // single-precision values, so their squares neither overflow nor underflow
    // and c x sqrt(sum_x^2 + sum_y^2) is within a few units in the last place of
    // it: a d outside that value +-1e-12 relative is decided without hypot, and
    // hypot is called only for a d inside (or when something is NaN).
    bool exact = true;
    double lower = c, upper = c;

    std::uint8_t* const taken = used.data();
    const Px* const cells = field.data();
    // Takes the free pixel q when its direction is within the tolerance of the
    // running mean: d >= c x |sum| is cos(angle) >= c without any angle.
    auto consider_free = [&](std::uint32_t q) {
        const Px& cell = cells[q];
        const double d = sum_y * static_cast<double>(cell.sin_angle) +
                         sum_x * static_cast<double>(cell.cos_angle);
        if (!exact) {
            if (d < lower) return;
            if (!(d > upper)) {
                accept = c * std::hypot(sum_x, sum_y);
                exact = true;
            }
        }
        if (exact && d < accept) return;
        taken[q] = 1;
        region.push_back(q);
        sum_x += static_cast<double>(cell.cos_angle);
        sum_y += static_cast<double>(cell.sin_angle);
        const double approx = c * std::sqrt(sum_x * sum_x + sum_y * sum_y);
        const double margin = std::fabs(approx) * 1e-12;
        lower = approx - margin;
        upper = approx + margin;
        exact = false;
    };

    auto consider = [&](std::uint32_t q) {
        if (taken[q] == 0) consider_free(q);
    };

    // Neighbours in the fixed order: row above, own row, row below, each left to
    // right. The offsets wrap modulo 2^32 and land inside the image for every
    // pixel off the border.
    const std::uint32_t w = width;
    const std::uint32_t offsets[8] = {0u - w - 1u, 0u - w, 0u - w + 1u, 0u - 1u,
                                      1u,          w - 1u, w,           w + 1u};
    for (std::size_t i = 0; i < region.size(); ++i) {
        const std::uint32_t index = region[i];
        const std::uint32_t row = index / w;
        const std::uint32_t col = index - row * w;
        if (row > 0 && row + 1 < height && col > 0 && col + 1 < w) {
            // The free neighbours, read before any is tested: a test marks only
            // the pixel it takes, so each neighbour is still free when its turn
            // comes, and a pixel with none free costs one branch.
            const std::uint8_t* up = taken + (index - w - 1);
            const std::uint8_t* mid = taken + (index - 1);
            const std::uint8_t* down = taken + (index + w - 1);
            const unsigned open = static_cast<unsigned>(up[0] == 0) |
                                  static_cast<unsigned>(up[1] == 0) << 1 |
                                  static_cast<unsigned>(up[2] == 0) << 2 |
                                  static_cast<unsigned>(mid[0] == 0) << 3 |
                                  static_cast<unsigned>(mid[2] == 0) << 4 |
                                  static_cast<unsigned>(down[0] == 0) << 5 |
                                  static_cast<unsigned>(down[1] == 0) << 6 |
                                  static_cast<unsigned>(down[2] == 0) << 7;
            if (open != 0) {
#pragma GCC unroll 8
                for (unsigned k = 0; k < 8; ++k) {
                    if ((open >> k) & 1u) consider_free(index + offsets[k]);
                }
            }
        } else {
            // The 3 x 3 window clipped to the image, row by row; the pixel itself
            // is already taken and is passed over.
            const std::uint32_t r0 = row > 0 ? row - 1 : 0;
            const std::uint32_t r1 = row + 1 < height ? row + 1 : row;
            const std::uint32_t c0 = col > 0 ? col - 1 : 0;
            const std::uint32_t c1 = col + 1 < w ? col + 1 : col;
            for (std::uint32_t r = r0; r <= r1; ++r) {
                for (std::uint32_t k = c0; k <= c1; ++k) consider(r * w + k);
            }
        }
    }
    return RegionSums{sum_x, sum_y};
}

Rect region_to_rect(std::span<const std::uint32_t> region, std::span<const Px> field,
                    std::uint32_t width, double region_angle, double p) {
    const std::uint32_t w = width;
    // Each pixel's coordinates and weight, read once for the three passes.
    struct Point {
        double x, y, weight;
    };
    std::vector<Point> points(region.size());
    double sw = 0.0, swx = 0.0, swy = 0.0;
    for (std::size_t i = 0; i < region.size(); ++i) {
        const std::uint32_t index = region[i];
        const Point p{static_cast<double>(index % w), static_cast<double>(index / w),
                      static_cast<double>(field[index].norm)};
        points[i] = p;
        sw += p.weight;
        swx += p.weight * p.x;
        swy += p.weight * p.y;
    }
    const double cx = swx / sw;
    const double cy = swy / sw;

    // Each term is the weight times the product of the offsets, w x ((x - cx)(y - cy)),
    // as for the squares. Ixy starts at +0.0 and each term is subtracted from it,
    // so a row of pixels (all terms +-0) leaves Ixy = +0.0 and the axis comes out
    // as atan2(+0, negative) = pi, not -pi.
    double sxx = 0.0, syy = 0.0, ixy = 0.0;
    for (const Point& p : points) {
        const double ex = p.x - cx;
        const double ey = p.y - cy;
        sxx += p.weight * (ex * ex);
        syy += p.weight * (ey * ey);
        ixy -= p.weight * (ex * ey);
    }

    // Smaller eigenvalue of the inertia matrix; the axis is its eigenvector.
    const double spread = (syy - sxx) * (syy - sxx) + 4.0 * (ixy * ixy);
    const double lambda = ((sxx + syy) - std::sqrt(spread)) * 0.5;
    double theta = std::fabs(syy - lambda) > std::fabs(sxx - lambda) ? std::atan2(lambda - syy, ixy)
                                                                     : std::atan2(ixy, lambda - sxx);

    // The axis points the way of the region's level lines.
    double delta = theta - region_angle;
    while (delta <= -PI) delta += TWO_PI;
    while (delta > PI) delta -= TWO_PI;
    if (std::fabs(delta) > PI_OVER_8) theta += PI;

    const double dx = std::cos(theta);
    const double dy = std::sin(theta);

    // The extents start at 0, so the centre always lies within them; a NaN
    // coordinate never widens them.
    double lmin = 0.0, lmax = 0.0, wmin = 0.0, wmax = 0.0;
    for (const Point& p : points) {
        const double ex = p.x - cx;
        const double ey = p.y - cy;
        const double along = dx * ex + dy * ey;
        const double across = dx * ey - dy * ex;
        if (along < lmin) lmin = along;
        if (along > lmax) lmax = along;
        if (across < wmin) wmin = across;
        if (across > wmax) wmax = across;
    }

    Rect rect;
    rect.x1 = cx + dx * lmin;
    rect.y1 = cy + dy * lmin;
    rect.x2 = cx + dx * lmax;
    rect.y2 = cy + dy * lmax;
    rect.width = wmax - wmin;
    if (!(rect.width > 1.0)) rect.width = 1.0;
    rect.dx = dx;
    rect.dy = dy;
    rect.prec = PI_OVER_8;
    rect.p = p;
    return rect;
}

}  // namespace vantrell::detector
