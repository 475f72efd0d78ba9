#pragma once

// A failed property aborts: libFuzzer records that as a crash and saves the input.

#include <cstdio>
#include <cstdlib>

#define FUZZ_CHECK(c) ((c) ? void() : (std::fprintf(stderr, "failed: %s\n", #c), std::abort()))
