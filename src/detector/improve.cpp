// Rectangle improvement: a fixed sequence of variations, each kept only when it
// scores strictly better.
#include "detector/improve.hpp"

#include "detector/nfa.hpp"

namespace vantrell::detector {
namespace {

constexpr double DELTA = 0.5;  // width step
constexpr int STEPS = 5;       // candidates per stage

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
    void finer_precision() {
        Rect candidate = rect;
        for (int k = 0; k < STEPS; ++k) {
            candidate.p = candidate.p * 0.5;
            candidate.prec = candidate.p * PI;
            offer(candidate);
        }
    }

    void smaller_width() {
        const Rect base = rect;
        double w = base.width;
        for (int k = 0; k < STEPS; ++k) {
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
        for (int k = 0; k < STEPS; ++k) {
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
