// Background colours of title rows and failure rows in the results grid,
// 0x00BBGGRR. Read from the settings at start-up, changed by the colour
// panel; a search takes both when it starts.
#pragma once

#include <cstdint>

inline constexpr uint32_t kDefaultTitleColour = 0x808080;    // 8421504
inline constexpr uint32_t kDefaultFailureColour = 0xC080FF;  // 12615935

inline uint32_t titleColour = kDefaultTitleColour;
inline uint32_t failureColour = kDefaultFailureColour;
