// Included at the top of every source whose floating-point steps must be
// rounded exactly as written, so that its results are the same bit for bit
// in every build and on every host: no product and sum contracted into one
// fused multiply-add, which rounds once where the code rounds twice.
// Compilers do contract where the target has the instruction (also in a
// function built for several targets), and the hosts' own mex commands do
// not tell them otherwise.
//
// clang and MSVC take a pragma, in force to the end of the including file.
// GCC takes none: there the file refuses to compile unless the build passes
// -ffp-contract=off and says so with -DKALMEX_FP_CONTRACT_OFF, as every build
// of ours does (CMake, the Octave package, toolbox/build_mex.m).
#ifndef KALMEX_COMMON_FPCONTRACT_H
#define KALMEX_COMMON_FPCONTRACT_H

#if defined(__clang__)
#pragma STDC FP_CONTRACT OFF
#elif defined(_MSC_VER)
#pragma fp_contract(off)
#elif defined(__GNUC__) && !defined(KALMEX_FP_CONTRACT_OFF)
#error "compile with -ffp-contract=off -DKALMEX_FP_CONTRACT_OFF: see common/fpcontract.h"
#endif

#if defined(__FAST_MATH__)
#error "compile without -ffast-math: see common/fpcontract.h"
#endif

#endif
