// The detection pipeline: samples to working image, optional downscaling, the
// level-line field, the seed loop, and the segments in input coordinates.
#include <algorithm>
#include <atomic>
#include <bit>
#include <cmath>
#include <memory>
#include <new>
#include <type_traits>

#include "detector/detect.hpp"
#include "detector/downscale.hpp"
#include "detector/improve.hpp"
#include "detector/level_lines.hpp"
#include "detector/pipeline.hpp"
#include "detector/refine.hpp"
#include "detector/region.hpp"
#include "pool/pool.hpp"

namespace vantrell::detector {
namespace {

// Images with fewer columns or rows than this have no segments.
constexpr std::size_t MIN_SIDE = 3;
constexpr std::uint64_t INDEX_LIMIT = std::uint64_t{1} << 32;

// Key whose signed order is the IEEE 754 total order of the double.
std::int64_t total_order_key(double v) {
    const std::int64_t bits = std::bit_cast<std::int64_t>(v);
    return bits ^ static_cast<std::int64_t>(static_cast<std::uint64_t>(bits >> 63) >> 1);
}

bool fits_indices(std::uint64_t width, std::uint64_t height) {
    if (width >= INDEX_LIMIT || height >= INDEX_LIMIT) return false;
    return width * height < INDEX_LIMIT;  // both below 2^32: no wrap in 64 bits
}

// A refined rectangle and the value its improvement gives.
struct Found {
    Rect rect;
    double log_nfa;
};

// The rectangles of the seed loop, appended by one thread while others read
// those already published: fixed blocks, never moved, for at most `capacity`.
class FoundList {
public:
    explicit FoundList(std::size_t capacity) : blocks_((capacity + BLOCK - 1) / BLOCK) {}

    // By the appending thread only; may throw std::bad_alloc.
    void push(const Rect& rect) {
        const std::size_t i = size_;
        if (i % BLOCK == 0) blocks_[i / BLOCK] = std::make_unique<Found[]>(BLOCK);
        blocks_[i / BLOCK][i % BLOCK].rect = rect;
        size_ = i + 1;
        published_.store(i + 1, std::memory_order_release);
    }
    // How many are readable: the entries below it, and their blocks, were
    // written before it was published.
    std::size_t published() const { return published_.load(std::memory_order_acquire); }
    Found& operator[](std::size_t i) { return blocks_[i / BLOCK][i % BLOCK]; }

private:
    static constexpr std::size_t BLOCK = 256;
    std::vector<std::unique_ptr<Found[]>> blocks_;
    std::size_t size_ = 0;
    std::atomic<std::size_t> published_{0};
};

// Refined rectangles are handed to the pool for improvement this many at a
// time: improving one takes a few microseconds, waking a sleeping worker up
// to a hundred or so.
constexpr std::size_t OFFER_BATCH = 16;

// The seed loop and everything after it, on the W x H working image.
template <class T>
std::vector<Segment> detect_in(std::span<const T> image, std::uint32_t w, std::uint32_t h,
                               double factor) {
    // Weak cells are only ever asked whether they are weak, so the field may
    // leave them zero. Weak pixels start as used; the last row and column have
    // norm 0, so they are among them.
    LevelLines lines = level_lines(image, w, h, GRAD_THRESHOLD);
    const std::span<const Px> field = lines.field;
    const std::span<std::uint8_t> used(lines.used.data(), lines.used.size());
    const double nt = log_nt(w, h);
    const std::uint32_t min_size = min_reg_size(nt);

    // The seed loop proper: each seed depends on the used map that the seeds
    // before it left, so it runs in order, on the calling thread. Improving a
    // rectangle reads only the field, so refined rectangles are published for a
    // free pool worker to improve while the loop goes on; the loop's thread
    // improves them itself when no worker may help this call, and improves
    // whatever is left when the loop ends. Every rectangle gets the same
    // improvement whoever makes it, so the result does not depend on threads.
    // The tolerance's cosine is the same for every seed, and the region angle
    // is needed only for regions large enough to keep.
    const double cos_tolerance = std::cos(ANGLE_TOLERANCE);
    FoundList found(lines.seeds.size());
    std::atomic<std::size_t> next{0};  // the first rectangle nobody has claimed

    // Claims an unclaimed published rectangle and improves it; false if none.
    auto improve_one = [&]() {
        std::size_t i = next.load(std::memory_order_relaxed);
        while (i < found.published()) {
            if (next.compare_exchange_weak(i, i + 1, std::memory_order_relaxed)) {
                Found& f = found[i];
                f.log_nfa = improve_rect(f.rect, field, w, h, GRAD_THRESHOLD, nt);
                return true;
            }
        }
        return false;
    };
    pool::Beside improver(improve_one);
    std::vector<std::uint32_t> region;
    for (std::uint32_t seed : lines.seeds) {
        if (used[seed] != 0) continue;  // taken by an earlier region
        const RegionSums sums = grow_region_sums(seed, field, used, region, w, h, cos_tolerance);
        if (region.size() < min_size) continue;
        const double angle = std::atan2(sums.sum_y, sums.sum_x);
        Rect rect = region_to_rect(region, field, w, angle, P_ALIGNED);
        if (!refine(region, rect, used, field, min_size, w, h)) continue;
        found.push(rect);
        if (found.published() - next.load(std::memory_order_relaxed) >= OFFER_BATCH &&
            !improver.offer()) {
            while (improve_one()) {
            }
        }
    }
    improver.finish();

    std::vector<Segment> segments;
    for (std::size_t i = 0; i < found.published(); ++i) {
        const Rect& rect = found[i].rect;
        const double log_nfa = found[i].log_nfa;
        if (log_nfa <= 0.0) continue;  // a NaN value passes
        segments.push_back(Segment{(rect.x1 + 0.5) * factor, (rect.y1 + 0.5) * factor,
                                   (rect.x2 + 0.5) * factor, (rect.y2 + 0.5) * factor,
                                   rect.width * factor, rect.p, log_nfa});
    }

    // Longest first; equal lengths keep the seed order.
    std::vector<std::int64_t> keys(segments.size());
    std::vector<std::size_t> order(segments.size());
    for (std::size_t i = 0; i < segments.size(); ++i) {
        const Segment& s = segments[i];
        keys[i] = total_order_key(std::hypot(s.x2 - s.x1, s.y2 - s.y1));
        order[i] = i;
    }
    std::stable_sort(order.begin(), order.end(),
                     [&](std::size_t a, std::size_t b) { return keys[a] > keys[b]; });
    std::vector<Segment> sorted;
    sorted.reserve(segments.size());
    for (std::size_t i : order) sorted.push_back(segments[i]);
    return sorted;
}

}  // namespace

double log_nt(std::uint32_t width, std::uint32_t height) {
    return 2.5 * (std::log10(static_cast<double>(width)) + std::log10(static_cast<double>(height))) +
           LOG10_11;
}

std::uint32_t min_reg_size(double log_nt_value) {
    return saturating_cast<std::uint32_t>(std::ceil(log_nt_value / LOG10_8));
}

bool too_small_for_segments(std::size_t width, std::size_t height, double scale) {
    if (width < MIN_SIDE || height < MIN_SIDE) return true;
    // A NaN scale is not below 1: no downscaling.
    if (!(scale < 1.0)) return false;
    const ImageSize size = downscaled_size(width, height, scale);
    return size.width < MIN_SIDE || size.height < MIN_SIDE;
}

bool fits_pixel_indices(std::size_t width, std::size_t height, double scale) {
    if (scale < 1.0) {
        const ImageSize size = downscaled_size(width, height, scale);
        return fits_indices(size.width, size.height);
    }
    return fits_indices(width, height);
}

template <class T>
Result<std::vector<Segment>> detect(std::span<const T> samples, std::size_t width,
                                    std::size_t height, double scale) {
    SizeMismatch mismatch{};
    if (!checked_mul(width, height, &mismatch.expected)) {
        // No buffer can hold that many samples.
        return SizeMismatch{SIZE_MAX, samples.size()};
    }
    if (!size_matches(mismatch.expected, samples.size(), &mismatch)) return mismatch;
    // The downscaled size depends only on the input size and the scale, so an
    // image too small after downscaling (a zero or negative scale among them)
    // never builds the kernel.
    if (too_small_for_segments(width, height, scale)) return std::vector<Segment>{};

    if (scale < 1.0) {
        const ImageSize size = downscaled_size(width, height, scale);
        if (!fits_indices(size.width, size.height)) return std::vector<Segment>{};
        std::vector<double> kernel;
        try {
            kernel = gaussian_kernel(scale);
        } catch (const std::bad_alloc&) {
            kernel.clear();
        }
        if (kernel.empty()) return std::vector<Segment>{};
        const Downscaled small = downscale(samples, width, height, scale, kernel);
        return detect_in<double>(small.image, static_cast<std::uint32_t>(small.width),
                         static_cast<std::uint32_t>(small.height), 1.0 / scale);
    }

    if (!fits_indices(width, height)) return std::vector<Segment>{};
    const auto w = static_cast<std::uint32_t>(width);
    const auto h = static_cast<std::uint32_t>(height);
    return detect_in(samples, w, h, 1.0);
}

template Result<std::vector<Segment>> detect(std::span<const std::uint8_t>, std::size_t, std::size_t,
                                             double);
template Result<std::vector<Segment>> detect(std::span<const std::uint16_t>, std::size_t, std::size_t,
                                             double);
template Result<std::vector<Segment>> detect(std::span<const float>, std::size_t, std::size_t, double);
template Result<std::vector<Segment>> detect(std::span<const double>, std::size_t, std::size_t, double);

}  // namespace vantrell::detector
