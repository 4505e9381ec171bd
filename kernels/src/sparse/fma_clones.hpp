#pragma once
// Hot loops that fuse multiply-adds get a second copy for CPUs with FMA, chosen once at
// load time; without hardware FMA, std::fma is a library call per element. Both copies
// round each fused operation once, so they return the same bits.
#if defined(__x86_64__) && defined(__GNUC__) && !defined(__clang__) && !defined(QUORVANE_NO_CLONES)
#define QV_FMA_CLONES __attribute__((target_clones("default", "arch=x86-64-v3")))
#else
#define QV_FMA_CLONES
#endif
