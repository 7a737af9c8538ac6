// The x86-64 vector intrinsics, for kernels compiled with their own target
// attribute. Only source files that hold such kernels include this.
#pragma once

#if defined(__x86_64__)
#include <immintrin.h>
#endif

// GCC 12 reports the registers its own AVX-512 intrinsics leave undefined on
// purpose as uninitialized.
#if defined(__GNUC__) && !defined(__clang__)
#pragma GCC diagnostic ignored "-Wuninitialized"
#pragma GCC diagnostic ignored "-Wmaybe-uninitialized"
#endif
