// What to tell a user about a failed update step: one sentence of what
// happened and what to do, chosen from the result code and the platform's
// account of the failure. Qt-free, so the command-line tools print the same
// explanations the window shows (the window looks the text up by its id in
// the user's language; English is the fallback).
#pragma once

#include <cstdint>
#include <string>
#include <vector>

#include "link.h"

struct LinkExplanation {
  int32_t textId = 0;                  // 0: nothing to explain
  const char* english = "";            // with %1, %2 for the arguments
  std::vector<std::string> arguments;  // UTF-8
};

// notCompleted: calculators of the update not holding every image (for 119
// and 104 during an update).
LinkExplanation ExplainLinkFailure(int32_t code, const LinkFailure& failure, int32_t notCompleted);

// An image of the set larger than the room before the next image on the
// disk: which file, and the most it may hold.
LinkExplanation ExplainImageTooLarge(const std::string& fileName, int64_t largestSize);

// The English text with its arguments in place.
std::string FormatExplanation(const LinkExplanation& explanation);

// Text id of "Details are in the log: %1", shown under every explanation.
inline constexpr int32_t kLogPointerTextId = 7811;
inline constexpr const char* kLogPointerEnglish = "Details are in the log: %1";
