// trvlib's allocation hook, replaced for the test program that includes this
// header (in one of its files only): allocation number g_fail_alloc from now
// fails (1: the next one; 0: none), then all go ahead again.
#pragma once

namespace zqtest {
inline int g_fail_alloc = 0;
}  // namespace zqtest

extern "C" int iTrvAllocationAllowed(void) {
    return !(zqtest::g_fail_alloc > 0 && --zqtest::g_fail_alloc == 0);
}
