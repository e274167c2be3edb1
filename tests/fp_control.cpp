// The floating-point control register of the calling thread, for the
// Python module's tests, which load this library through ctypes to read
// and set it: other rounding modes, flush-to-zero, denormals-are-zero.
// CMake builds it twice: as it is, and with -ffast-math, whose start-up
// code sets flush-to-zero and denormals-are-zero in any process that loads
// it, as an extension built so does in a user's process.
#include <cstdint>

#if defined(__x86_64__) || defined(_M_X64)
#include <xmmintrin.h>
#endif

extern "C" {

// Which register: 1 MXCSR (x86-64), 2 FPCR (aarch64), 0 none (then the
// other two do nothing).
int fp_control_kind();
std::uint64_t fp_control_get();
void fp_control_set(std::uint64_t bits);

int fp_control_kind()
{
#if defined(__x86_64__) || defined(_M_X64)
    return 1;
#elif defined(__aarch64__)
    return 2;
#else
    return 0;
#endif
}

std::uint64_t fp_control_get()
{
#if defined(__x86_64__) || defined(_M_X64)
    return _mm_getcsr();
#elif defined(__aarch64__)
    std::uint64_t fpcr = 0;
    __asm__ volatile("mrs %0, fpcr" : "=r"(fpcr));
    return fpcr;
#else
    return 0;
#endif
}

void fp_control_set(std::uint64_t bits)
{
#if defined(__x86_64__) || defined(_M_X64)
    _mm_setcsr(static_cast<unsigned>(bits));
#elif defined(__aarch64__)
    __asm__ volatile("msr fpcr, %0" : : "r"(bits));
#else
    static_cast<void>(bits);
#endif
}

} // extern "C"
