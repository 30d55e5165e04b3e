#include "core/base/wide_vectors.hpp"

#if defined(VELNORA_WIDE_VECTORS)

#include <cpuid.h>

#include <cstdint>

namespace velnora {

namespace {

// Asked of the processor itself rather than through __builtin_cpu_supports,
// whose table lives in the compiler's runtime library: libgcc has it, the
// runtime of the toolchain that builds the manylinux wheels does not.
bool avx2_usable() {
  unsigned eax = 0, ebx = 0, ecx = 0, edx = 0;
  if (!__get_cpuid(1, &eax, &ebx, &ecx, &edx)) return false;
  constexpr unsigned osxsave = 1u << 27, avx = 1u << 28;
  if ((ecx & (osxsave | avx)) != (osxsave | avx)) return false;
  // XCR0: the operating system saves both the XMM and the YMM state.
  std::uint32_t xcr0_low = 0, xcr0_high = 0;
  asm("xgetbv" : "=a"(xcr0_low), "=d"(xcr0_high) : "c"(0));
  if ((xcr0_low & 0x6u) != 0x6u) return false;
  if (!__get_cpuid_count(7, 0, &eax, &ebx, &ecx, &edx)) return false;
  constexpr unsigned avx2 = 1u << 5;
  return (ebx & avx2) != 0;
}

}  // namespace

const bool processor_runs_avx2 = avx2_usable();

}  // namespace velnora

#endif
