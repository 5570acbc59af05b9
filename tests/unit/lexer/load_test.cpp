// The script header scan: where loading a script file starts in its text.
#include <gtest/gtest.h>

#include <string>

#include "lexer/load.h"

namespace kiv {
namespace {

TEST(Load, FindHeaderTakesTheFirstKivBeforeABracket) {
  constexpr std::size_t none = std::string::npos;
  const struct {
    const char* text;
    std::size_t at;
  } cases[] = {
      {"Kiv []", 0},
      {"#!/usr/bin/env kiv\nKiv[]", 19},
      {"x Kiv \t\r\n [", 2},              // any white space before the block
      {"Kiv/System []", 0},
      {"Kivx Kiv x [] Kiv [", 14},        // a Kiv not followed by the block is passed over
      {"kiv []", none},                   // case-sensitive
      {"Kiv/system []", none},
      {"Kiv/Sys []", none},
      {"Kiv/Systemx []", none},
      {"Kiv ; [", none},                  // a comment is not white space here
      {"Kiv   ", none},
      {"", none},
  };
  for (const auto& c : cases) EXPECT_EQ(load::find_header(c.text), c.at) << c.text;
}

}  // namespace
}  // namespace kiv
