// Small test images and a uniform way to call the samplers of every instance.
#pragma once

#include <cstddef>
#include <cstdint>
#include <string>
#include <vector>

#include "warp/filter.hpp"
#include "warp/kernels.hpp"

namespace vantrell::warp::testing {

// One sampler instance: sample type (8 or 16 bits), channel count, filter.
struct Variant {
    int bits;
    int channels;
    Filter filter;
};

inline std::string variant_name(const Variant& v) {
    return std::string(v.filter == Filter::Bilinear ? "Bilinear" : "Lanczos3") + "_u" +
           std::to_string(v.bits) + "_c" + std::to_string(v.channels);
}

inline std::vector<Variant> all_variants() {
    std::vector<Variant> out;
    for (Filter f : {Filter::Bilinear, Filter::Lanczos3})
        for (int bits : {8, 16})
            for (int channels : {1, 3}) out.push_back({bits, channels, f});
    return out;
}

inline std::uint32_t sample_max(int bits) { return bits == 8 ? 255u : 65535u; }

// An image held as 32-bit values whatever its sample type, so that tests can
// be written once for all instances.
struct Image {
    int bits;
    int channels;
    std::size_t w;
    std::size_t h;
    std::vector<std::uint32_t> samples;

    std::uint32_t at(std::size_t x, std::size_t y, int c) const {
        return samples[(y * w + x) * static_cast<std::size_t>(channels) + static_cast<std::size_t>(c)];
    }
    std::uint32_t& at(std::size_t x, std::size_t y, int c) {
        return samples[(y * w + x) * static_cast<std::size_t>(channels) + static_cast<std::size_t>(c)];
    }
};

// Distinct-looking, deterministic contents covering the whole sample range.
inline Image pattern_image(int bits, int channels, std::size_t w, std::size_t h, std::uint32_t seed = 1) {
    Image img{bits, channels, w, h, std::vector<std::uint32_t>(w * h * static_cast<std::size_t>(channels))};
    std::uint32_t state = seed * 2654435761u + 12345u;
    for (auto& s : img.samples) {
        state = state * 1664525u + 1013904223u;
        s = (state >> 8) % (sample_max(bits) + 1);
    }
    return img;
}

// Copies of the samples in the instance's own type.
template <class T>
std::vector<T> as(const std::vector<std::uint32_t>& v) {
    return std::vector<T>(v.begin(), v.end());
}

// The output pixel after one sampler call, starting from `fill` in every channel.
template <class T, int C>
std::vector<std::uint32_t> sample_typed(const Image& img, Filter filter, const Lanczos3Table& table,
                                        double x, double y, std::uint32_t fill) {
    const std::vector<T> source = as<T>(img.samples);
    T out[C];
    for (auto& o : out) o = static_cast<T>(fill);
    if (filter == Filter::Bilinear)
        sample_bilinear<T, C>(source, img.w, img.h, x, y, out);
    else
        sample_lanczos3<T, C>(source, img.w, img.h, x, y, table, out);
    return std::vector<std::uint32_t>(out, out + C);
}

inline std::vector<std::uint32_t> sample(const Image& img, Filter filter, const Lanczos3Table& table,
                                         double x, double y, std::uint32_t fill = 0) {
    if (img.bits == 8)
        return img.channels == 1 ? sample_typed<std::uint8_t, 1>(img, filter, table, x, y, fill)
                                 : sample_typed<std::uint8_t, 3>(img, filter, table, x, y, fill);
    return img.channels == 1 ? sample_typed<std::uint16_t, 1>(img, filter, table, x, y, fill)
                             : sample_typed<std::uint16_t, 3>(img, filter, table, x, y, fill);
}

// The samples of pixel (x, y).
inline std::vector<std::uint32_t> pixel(const Image& img, std::size_t x, std::size_t y) {
    std::vector<std::uint32_t> out;
    for (int c = 0; c < img.channels; ++c) out.push_back(img.at(x, y, c));
    return out;
}

}  // namespace vantrell::warp::testing
