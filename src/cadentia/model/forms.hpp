// forms.hpp: the instruction-set forms of the kernels and the vector type
// each one writes its loops with.
//
// Every kernel is written once, as a template over a form `F`, against the
// small vocabulary of `simd<F>`: loads and stores of `width` floats, the
// additions, comparisons, maxima and selections the recursions use, and
// float32 products computed as the exact double product rounded once.  The
// portable form is one float wide and builds with any C++20 compiler on any
// 64-bit target; the x86 forms (four floats on SSE2, eight on AVX2) exist
// only on x86-64, carry target attributes and are chosen at run time, so the
// module itself is built for the x86-64 baseline.
//
// A form changes the speed, never the bits.  Every operation here rounds
// exactly as the scalar operation it stands for: no fused multiply-add, no
// reassociation, and a maximum is `c > best ? c : best` in every form, so
// that a NaN never wins and equal values keep the earlier bits.  The form is
// a parameter of each kernel call, so one process can run them all.
//
// This header includes no Python header: the kernels and the C++ harness
// build on it alone.
#pragma once

#include <bit>
#include <cstdint>
#include <cstring>

#if defined(__x86_64__) || defined(_M_X64)
#define CADENTIA_X86 1
#include <immintrin.h>
#else
#define CADENTIA_X86 0
#endif

namespace cadentia {

// ---------------------------------------------------------------------------
// Forms

enum class kernel_form : int { portable = 0, sse2 = 1, avx2 = 2 };

constexpr kernel_form all_forms[] = {kernel_form::portable, kernel_form::sse2, kernel_form::avx2};

constexpr const char* form_name(kernel_form f) noexcept {
    return f == kernel_form::avx2 ? "avx2" : f == kernel_form::sse2 ? "sse2" : "portable";
}

// Whether this build and this CPU can run form `f`.  A build may cap the
// forms it dispatches to (CADENTIA_MAX_FORM, 0 to 2), which lets the test
// suite run the module on the narrower forms of any machine.
static bool form_supported(kernel_form f) noexcept {
#ifdef CADENTIA_MAX_FORM
    if (static_cast<int>(f) > CADENTIA_MAX_FORM)
        return false;
#endif
#if CADENTIA_X86
    if (f == kernel_form::avx2) {
        static const bool has = [] {
            __builtin_cpu_init();
            return __builtin_cpu_supports("avx2") != 0;
        }();
        return has;
    }
    return true;  // SSE2 is part of x86-64
#else
    return f == kernel_form::portable;
#endif
}

// The widest form this process can run.
[[maybe_unused]] static kernel_form best_form() noexcept {
    static const kernel_form best = [] {
        kernel_form widest = kernel_form::portable;
        for (kernel_form f : all_forms)
            if (form_supported(f))
                widest = f;
        return widest;
    }();
    return best;
}

// ---------------------------------------------------------------------------
// Vector types

template <kernel_form F> struct simd;

// One float wide: plain C++.  A float32 product of two floats is the double
// product rounded once, so the plain multiply gives the same bits.
template <> struct simd<kernel_form::portable> {
    static constexpr int width = 1;
    using f32 = float;
    using i32 = int32_t;
    using mask = bool;

    static f32 load(const float* p) noexcept { return *p; }
    static void store(float* p, f32 v) noexcept { *p = v; }
    static f32 set1(float x) noexcept { return x; }
    static f32 add(f32 a, f32 b) noexcept { return a + b; }
    static mask gt(f32 a, f32 b) noexcept { return a > b; }
    static mask eq(f32 a, f32 b) noexcept { return a == b; }
    static f32 max(f32 c, f32 best) noexcept { return c > best ? c : best; }
    static f32 select(mask m, f32 yes, f32 no) noexcept { return m ? yes : no; }
    static int bits(mask m) noexcept { return m ? 1 : 0; }
    static f32 mul(f32 x, f32 y) noexcept { return x * y; }
    static f32 mul(f32 x, double y) noexcept { return static_cast<float>(x * y); }
    static f32 mul(double x, f32 y) noexcept { return static_cast<float>(x * y); }
    static float mul1(float x, float y) noexcept { return x * y; }
    // `width` products p * w[i] of a float and doubles, rounded once.
    static f32 mul_wide(double p, const double* w) noexcept { return static_cast<float>(p * *w); }
    static f32 gather(const float* d, const int32_t* col) noexcept { return d[col[0]]; }

    static i32 iota() noexcept { return 0; }
    static i32 set1_i(int32_t x) noexcept { return x; }
    static i32 add_i(i32 a, i32 b) noexcept { return a + b; }
    static i32 select_i(mask m, i32 yes, i32 no) noexcept { return m ? yes : no; }
    static mask gt_i(i32 a, i32 b) noexcept { return a > b; }
    static i32 load_i(const int32_t* p) noexcept { return *p; }
    static void store_i(int32_t* p, i32 v) noexcept { *p = v; }
    static mask mask_or(mask a, mask b) noexcept { return a || b; }
    static mask mask_and(mask a, mask b) noexcept { return a && b; }
};

#if CADENTIA_X86

// x * y rounded to float32 through the exact double product.  The belief of
// the forward filter decays through the subnormal range, and a float32
// multiply with a subnormal operand or result costs a microcode assist of a
// hundred cycles or more; the double forms cost none.  Intrinsics, because
// the compiler narrows the plain C++ form back to a float32 multiply.
static inline float mul_through_double(float x, float y) noexcept {
    const __m128d product = _mm_mul_sd(_mm_set_sd(x), _mm_set_sd(y));
    return _mm_cvtss_f32(_mm_cvtsd_ss(_mm_setzero_ps(), product));
}

template <> struct simd<kernel_form::sse2> {
    static constexpr int width = 4;
    using f32 = __m128;
    using i32 = __m128i;
    using mask = __m128;

    static f32 load(const float* p) noexcept { return _mm_loadu_ps(p); }
    static void store(float* p, f32 v) noexcept { _mm_storeu_ps(p, v); }
    static f32 set1(float x) noexcept { return _mm_set1_ps(x); }
    static f32 add(f32 a, f32 b) noexcept { return _mm_add_ps(a, b); }
    static mask gt(f32 a, f32 b) noexcept { return _mm_cmpgt_ps(a, b); }
    static mask eq(f32 a, f32 b) noexcept { return _mm_cmpeq_ps(a, b); }
    static f32 max(f32 c, f32 best) noexcept { return _mm_max_ps(c, best); }
    static f32 select(mask m, f32 yes, f32 no) noexcept {
        return _mm_or_ps(_mm_and_ps(m, yes), _mm_andnot_ps(m, no));
    }
    static int bits(mask m) noexcept { return _mm_movemask_ps(m); }
    // Operands stay in their order: it decides which NaN a product of two
    // NaNs carries.
    static f32 mul(f32 x, f32 y) noexcept {
        const __m128d lo = _mm_mul_pd(_mm_cvtps_pd(x), _mm_cvtps_pd(y));
        const __m128d hi =
            _mm_mul_pd(_mm_cvtps_pd(_mm_movehl_ps(x, x)), _mm_cvtps_pd(_mm_movehl_ps(y, y)));
        return _mm_movelh_ps(_mm_cvtpd_ps(lo), _mm_cvtpd_ps(hi));
    }
    // A float widened once, for products with many vectors.
    static f32 mul(f32 x, double y) noexcept {
        const __m128d yy = _mm_set1_pd(y);
        return _mm_movelh_ps(_mm_cvtpd_ps(_mm_mul_pd(_mm_cvtps_pd(x), yy)),
                             _mm_cvtpd_ps(_mm_mul_pd(_mm_cvtps_pd(_mm_movehl_ps(x, x)), yy)));
    }
    static f32 mul(double x, f32 y) noexcept {
        const __m128d xx = _mm_set1_pd(x);
        return _mm_movelh_ps(_mm_cvtpd_ps(_mm_mul_pd(xx, _mm_cvtps_pd(y))),
                             _mm_cvtpd_ps(_mm_mul_pd(xx, _mm_cvtps_pd(_mm_movehl_ps(y, y)))));
    }
    static float mul1(float x, float y) noexcept { return mul_through_double(x, y); }
    static f32 mul_wide(double p, const double* w) noexcept {
        const __m128d pp = _mm_set1_pd(p);
        return _mm_movelh_ps(_mm_cvtpd_ps(_mm_mul_pd(pp, _mm_loadu_pd(w))),
                             _mm_cvtpd_ps(_mm_mul_pd(pp, _mm_loadu_pd(w + 2))));
    }
    static f32 gather(const float* d, const int32_t* col) noexcept {
        return _mm_setr_ps(d[col[0]], d[col[1]], d[col[2]], d[col[3]]);
    }

    static i32 iota() noexcept { return _mm_setr_epi32(0, 1, 2, 3); }
    static i32 set1_i(int32_t x) noexcept { return _mm_set1_epi32(x); }
    static i32 add_i(i32 a, i32 b) noexcept { return _mm_add_epi32(a, b); }
    static i32 select_i(mask m, i32 yes, i32 no) noexcept {
        const __m128i k = _mm_castps_si128(m);
        return _mm_or_si128(_mm_and_si128(k, yes), _mm_andnot_si128(k, no));
    }
    static mask gt_i(i32 a, i32 b) noexcept { return _mm_castsi128_ps(_mm_cmpgt_epi32(a, b)); }
    static i32 load_i(const int32_t* p) noexcept {
        return _mm_loadu_si128(reinterpret_cast<const __m128i*>(p));
    }
    static void store_i(int32_t* p, i32 v) noexcept {
        _mm_storeu_si128(reinterpret_cast<__m128i*>(p), v);
    }
    static mask mask_or(mask a, mask b) noexcept { return _mm_or_ps(a, b); }
    static mask mask_and(mask a, mask b) noexcept { return _mm_and_ps(a, b); }
};

#define CADENTIA_AVX2 [[gnu::target("avx2")]]

template <> struct simd<kernel_form::avx2> {
    static constexpr int width = 8;
    using f32 = __m256;
    using i32 = __m256i;
    using mask = __m256;

    CADENTIA_AVX2 static f32 load(const float* p) noexcept { return _mm256_loadu_ps(p); }
    CADENTIA_AVX2 static void store(float* p, f32 v) noexcept { _mm256_storeu_ps(p, v); }
    CADENTIA_AVX2 static f32 set1(float x) noexcept { return _mm256_set1_ps(x); }
    CADENTIA_AVX2 static f32 add(f32 a, f32 b) noexcept { return _mm256_add_ps(a, b); }
    CADENTIA_AVX2 static mask gt(f32 a, f32 b) noexcept { return _mm256_cmp_ps(a, b, _CMP_GT_OQ); }
    CADENTIA_AVX2 static mask eq(f32 a, f32 b) noexcept { return _mm256_cmp_ps(a, b, _CMP_EQ_OQ); }
    CADENTIA_AVX2 static f32 max(f32 c, f32 best) noexcept { return _mm256_max_ps(c, best); }
    CADENTIA_AVX2 static f32 select(mask m, f32 yes, f32 no) noexcept {
        return _mm256_blendv_ps(no, yes, m);
    }
    CADENTIA_AVX2 static int bits(mask m) noexcept { return _mm256_movemask_ps(m); }
    CADENTIA_AVX2 static f32 mul(f32 x, f32 y) noexcept {
        const __m128 lo = _mm256_cvtpd_ps(_mm256_mul_pd(_mm256_cvtps_pd(_mm256_castps256_ps128(x)),
                                                        _mm256_cvtps_pd(_mm256_castps256_ps128(y))));
        const __m128 hi = _mm256_cvtpd_ps(_mm256_mul_pd(_mm256_cvtps_pd(_mm256_extractf128_ps(x, 1)),
                                                        _mm256_cvtps_pd(_mm256_extractf128_ps(y, 1))));
        return _mm256_set_m128(hi, lo);
    }
    CADENTIA_AVX2 static f32 mul(f32 x, double y) noexcept {
        const __m256d yy = _mm256_set1_pd(y);
        return _mm256_set_m128(
            _mm256_cvtpd_ps(_mm256_mul_pd(_mm256_cvtps_pd(_mm256_extractf128_ps(x, 1)), yy)),
            _mm256_cvtpd_ps(_mm256_mul_pd(_mm256_cvtps_pd(_mm256_castps256_ps128(x)), yy)));
    }
    CADENTIA_AVX2 static f32 mul(double x, f32 y) noexcept {
        const __m256d xx = _mm256_set1_pd(x);
        return _mm256_set_m128(
            _mm256_cvtpd_ps(_mm256_mul_pd(xx, _mm256_cvtps_pd(_mm256_extractf128_ps(y, 1)))),
            _mm256_cvtpd_ps(_mm256_mul_pd(xx, _mm256_cvtps_pd(_mm256_castps256_ps128(y)))));
    }
    static float mul1(float x, float y) noexcept { return mul_through_double(x, y); }
    CADENTIA_AVX2 static f32 mul_wide(double p, const double* w) noexcept {
        const __m256d pp = _mm256_set1_pd(p);
        return _mm256_set_m128(_mm256_cvtpd_ps(_mm256_mul_pd(pp, _mm256_loadu_pd(w + 4))),
                               _mm256_cvtpd_ps(_mm256_mul_pd(pp, _mm256_loadu_pd(w))));
    }
    // Sixteen columns in two vectors: each lane picks its own.
    CADENTIA_AVX2 static f32 gather(const float* d, const int32_t* col) noexcept {
        const __m256i c = _mm256_loadu_si256(reinterpret_cast<const __m256i*>(col));
        return _mm256_blendv_ps(
            _mm256_permutevar8x32_ps(_mm256_loadu_ps(d), c),
            _mm256_permutevar8x32_ps(_mm256_loadu_ps(d + 8), c),
            _mm256_castsi256_ps(_mm256_cmpgt_epi32(c, _mm256_set1_epi32(7))));
    }

    CADENTIA_AVX2 static i32 iota() noexcept { return _mm256_setr_epi32(0, 1, 2, 3, 4, 5, 6, 7); }
    CADENTIA_AVX2 static i32 set1_i(int32_t x) noexcept { return _mm256_set1_epi32(x); }
    CADENTIA_AVX2 static i32 add_i(i32 a, i32 b) noexcept { return _mm256_add_epi32(a, b); }
    CADENTIA_AVX2 static i32 select_i(mask m, i32 yes, i32 no) noexcept {
        return _mm256_castps_si256(
            _mm256_blendv_ps(_mm256_castsi256_ps(no), _mm256_castsi256_ps(yes), m));
    }
    CADENTIA_AVX2 static mask gt_i(i32 a, i32 b) noexcept {
        return _mm256_castsi256_ps(_mm256_cmpgt_epi32(a, b));
    }
    CADENTIA_AVX2 static i32 load_i(const int32_t* p) noexcept {
        return _mm256_loadu_si256(reinterpret_cast<const __m256i*>(p));
    }
    CADENTIA_AVX2 static void store_i(int32_t* p, i32 v) noexcept {
        _mm256_storeu_si256(reinterpret_cast<__m256i*>(p), v);
    }
    CADENTIA_AVX2 static mask mask_or(mask a, mask b) noexcept { return _mm256_or_ps(a, b); }
    CADENTIA_AVX2 static mask mask_and(mask a, mask b) noexcept { return _mm256_and_ps(a, b); }
};

#endif  // CADENTIA_X86

// The next narrower form, for the tail of a loop: AVX2 includes SSE2.
template <kernel_form F>
constexpr kernel_form narrower = F == kernel_form::avx2 ? kernel_form::sse2 : kernel_form::portable;

// ---------------------------------------------------------------------------
// Dispatch

// Calls `body.template operator()<F>()` for the form `f`; a form this
// target lacks runs the portable one.  Each instantiation sits in a function
// built for its instruction set, with every call inside inlined into it, so
// the vector code of a kernel is compiled only where the CPU may run it.
template <kernel_form F, class Body>
[[gnu::flatten]] static auto run_form(Body& body) noexcept {
    return body.template operator()<F>();
}

#if CADENTIA_X86
template <class Body>
[[gnu::target("avx2"), gnu::flatten]] static auto run_form_avx2(Body& body) noexcept {
    return body.template operator()<kernel_form::avx2>();
}
#endif

template <class Body>
static auto dispatch(kernel_form f, Body&& body) noexcept {
#if CADENTIA_X86
    if (f == kernel_form::avx2)
        return run_form_avx2(body);
    if (f == kernel_form::sse2)
        return run_form<kernel_form::sse2>(body);
#else
    (void)f;
#endif
    return run_form<kernel_form::portable>(body);
}

}  // namespace cadentia
