#pragma once

// Sample unpacking, sample timestamps, the columns' appends, the resampler's
// loops and the study passes' sums come in a 256-bit form, compiled for AVX2 and taken at run time where the processor
// has it, besides the baseline form. VELNORA_WIDE_VECTORS is defined where the
// 256-bit form is built at all; VELNORA_NO_WIDE_VECTORS leaves it out so that
// the baseline form can be tested on processors that would take the wide one.
#if defined(__x86_64__) && defined(__GNUC__) && !defined(VELNORA_NO_WIDE_VECTORS)
#define VELNORA_WIDE_VECTORS 1
#endif

namespace velnora {

#if defined(VELNORA_WIDE_VECTORS)
// Whether the processor has AVX2 and the operating system saves its registers,
// found once as the module loads.
extern const bool processor_runs_avx2;
#endif

// Whether this processor takes the 256-bit forms.
inline bool wide_vectors_available() {
#if defined(VELNORA_WIDE_VECTORS)
  return processor_runs_avx2;
#else
  return false;
#endif
}

}  // namespace velnora
