// What vector code the processor runs, asked by hand rather than through ifunc
// resolvers, which run before sanitizer runtimes are ready. The answers are
// read from the processor model that the runtime fills once (a few loads per
// question), so nothing is cached here: a function-local static would take a
// one-time guard, and a fork while another thread held it would leave the
// child waiting on it for ever.
#pragma once

namespace vantrell {

// AVX2.
inline bool cpu_has_avx2() {
    __builtin_cpu_init();
    return __builtin_cpu_supports("avx2") != 0;
}

// The AVX-512 foundation.
inline bool cpu_has_avx512f() {
    __builtin_cpu_init();
    return __builtin_cpu_supports("avx512f") != 0;
}

// The AVX-512 foundation with the byte and word, doubleword and quadword,
// vector length and byte permute extensions.
inline bool cpu_has_avx512_vbmi() {
    __builtin_cpu_init();
    return cpu_has_avx512f() && __builtin_cpu_supports("avx512bw") && __builtin_cpu_supports("avx512dq") &&
           __builtin_cpu_supports("avx512vl") && __builtin_cpu_supports("avx512vbmi");
}

}  // namespace vantrell
