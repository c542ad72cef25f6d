// The deliverable a program is built as, chosen by BRENDLE_TEST_NUMBER at build time.
#pragma once

#include "test_run.h"

// Test no. 4.
inline constexpr Deliverable kBrendle4{"Starting test no. 4. import <msxml6.dll> named_guids", "Output\\Brendle4.htm"};
// Test no. 2.
inline constexpr Deliverable kBrendle2{"Starting test no. 2. import <msxml3.dll> named_guids", "Output\\Brendle2.htm"};

#if defined(BRENDLE_TEST_NUMBER)
#if BRENDLE_TEST_NUMBER == 4
// The deliverable this program is.
inline constexpr const Deliverable& kDeliverable = kBrendle4;
#elif BRENDLE_TEST_NUMBER == 2
inline constexpr const Deliverable& kDeliverable = kBrendle2;
#else
#error "BRENDLE_TEST_NUMBER names no deliverable"
#endif
#endif
