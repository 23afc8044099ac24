// What vector code the processor runs, asked once per process (thread-safe)
// and by hand rather than through ifunc resolvers, which run before sanitizer
// runtimes are ready.
#pragma once

namespace vantrell {

// AVX2.
inline bool cpu_has_avx2() {
    static const bool has = [] {
        __builtin_cpu_init();
        return __builtin_cpu_supports("avx2") != 0;
    }();
    return has;
}

// The AVX-512 foundation.
inline bool cpu_has_avx512f() {
    static const bool has = [] {
        __builtin_cpu_init();
        return __builtin_cpu_supports("avx512f") != 0;
    }();
    return has;
}

// The AVX-512 foundation with the byte and word, doubleword and quadword,
// vector length and byte permute extensions.
inline bool cpu_has_avx512_vbmi() {
    static const bool has = [] {
        __builtin_cpu_init();
        return cpu_has_avx512f() && __builtin_cpu_supports("avx512bw") && __builtin_cpu_supports("avx512dq") &&
               __builtin_cpu_supports("avx512vl") && __builtin_cpu_supports("avx512vbmi");
    }();
    return has;
}

}  // namespace vantrell
