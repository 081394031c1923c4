#include "VectorState.h"

#if (defined(__x86_64__) || defined(__i386__)) && (defined(__GNUC__) || defined(__clang__))
#define WENDLE_HAS_VZEROUPPER 1
#include <immintrin.h>
#endif

#ifdef WENDLE_HAS_VZEROUPPER

namespace {

// Compiled for AVX on its own so that the rest of the program keeps running
// on CPUs without it; only called after the check below.
__attribute__((target("avx"))) void zeroUpper()
{
    _mm256_zeroupper();
}

// Decided once at load time: a function-local static would take a guard lock
// on its first call, which could be the audio thread's.
const bool sHasAvx = [] {
    __builtin_cpu_init();
    return __builtin_cpu_supports("avx") != 0;
}();

} // namespace

void VectorState::clearUpperHalves()
{
    if (sHasAvx)
        zeroUpper();
}

bool VectorState::canClearUpperHalves()
{
    return sHasAvx;
}

#else

void VectorState::clearUpperHalves()
{
}

bool VectorState::canClearUpperHalves()
{
    return false;
}

#endif
