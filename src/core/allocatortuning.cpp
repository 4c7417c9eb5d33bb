#include "core/allocatortuning.h"

#include <cstdlib>

#if defined(__GLIBC__)
#include <malloc.h>
#endif

void AllocatorTuning::apply()
{
#if defined(__GLIBC__)
    if (!std::getenv("MALLOC_MMAP_THRESHOLD_"))
        mallopt(M_MMAP_THRESHOLD, MapThresholdBytes);
    if (!std::getenv("MALLOC_TRIM_THRESHOLD_"))
        mallopt(M_TRIM_THRESHOLD, TrimThresholdBytes);
#endif
}
