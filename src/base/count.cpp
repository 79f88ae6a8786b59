// trimlet: crop image files. SPDX-License-Identifier: MIT
//
// The open counters (count.h): zero at load, only ever added to.

#include "base/count.h"

static unsigned long s_opens[OPEN_KINDS];

void count_open(int kind) { __atomic_fetch_add(&s_opens[kind], 1UL, __ATOMIC_RELAXED); }

unsigned long opens_counted(int kind) { return __atomic_load_n(&s_opens[kind], __ATOMIC_RELAXED); }
