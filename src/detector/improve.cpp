// Rectangle improvement: a fixed sequence of variations, each kept only when it
// scores strictly better.
#include "detector/improve.hpp"

#include <array>

#include "detector/nfa.hpp"

namespace vantrell::detector {
namespace {

constexpr double DELTA = 0.5;  // width step
constexpr std::size_t STEPS = PRECISION_STEPS;  // candidates per stage

struct Search {
    Rect& rect;
    std::span<const Px> field;
    std::uint32_t width, height;
    float threshold;
    double log_nt;
    double best;

    // Keeps the candidate when it scores strictly better (NaN never does).
    void offer(const Rect& candidate) {
        const double value = rect_log_nfa(candidate, field, width, height, threshold, log_nt);
        if (value > best) {
            best = value;
            rect = candidate;
        }
    }

    // Halves p (and sets prec = p x pi) once per step, the geometry unchanged.
    // The candidates share their pixels, so one pass counts all of them.
    void finer_precision() {
        Rect candidate = rect;
        std::array<double, STEPS> p, prec;
        for (std::size_t k = 0; k < STEPS; ++k) {
            p[k] = (k == 0 ? candidate.p : p[k - 1]) * 0.5;
            prec[k] = p[k] * PI;
        }
        const AlignedCounts counts = count_aligned_at(candidate, field, width, height, threshold, prec);
        for (std::size_t k = 0; k < STEPS; ++k) {
            candidate.p = p[k];
            candidate.prec = prec[k];
            const double value = log_nfa(counts.n, counts.k[k], p[k], log_nt);
            if (value > best) {
                best = value;
                rect = candidate;
            }
        }
    }

    void smaller_width() {
        const Rect base = rect;
        double w = base.width;
        for (std::size_t k = 0; k < STEPS; ++k) {
            w = w - DELTA;
            if (w < 0.5) return;
            Rect candidate = base;
            candidate.width = w;
            offer(candidate);
        }
    }

    // Moves the centre line by (sx, sy) per step while the width drops by DELTA,
    // so one edge stays and the other moves inwards. The candidate keeps moving
    // whether or not a step was kept.
    void trim(double sx, double sy) {
        Rect candidate = rect;
        for (std::size_t k = 0; k < STEPS; ++k) {
            const double w = candidate.width - DELTA;
            if (w < 0.5) return;
            candidate.x1 += sx;
            candidate.x2 += sx;
            candidate.y1 += sy;
            candidate.y2 += sy;
            candidate.width = w;
            offer(candidate);
        }
    }
};

}  // namespace

double improve_rect(Rect& rect, std::span<const Px> field, std::uint32_t width,
                    std::uint32_t height, float threshold, double log_nt) {
    Search s{rect, field, width, height, threshold, log_nt, 0.0};
    s.best = rect_log_nfa(rect, field, width, height, threshold, log_nt);
    if (s.best > 0.0) return s.best;

    s.finer_precision();
    if (s.best > 0.0) return s.best;

    s.smaller_width();
    if (s.best > 0.0) return s.best;

    // Trim the side towards (dy, -dx), then the side towards (-dy, dx).
    s.trim(-rect.dy * DELTA * 0.5, rect.dx * DELTA * 0.5);
    if (s.best > 0.0) return s.best;
    s.trim(rect.dy * DELTA * 0.5, -rect.dx * DELTA * 0.5);
    if (s.best > 0.0) return s.best;

    s.finer_precision();
    return s.best;
}

}  // namespace vantrell::detector
