// Colour texts of EDS sources, read through to the "#RRGGBB" that list-calendars writes.
#include "store/eds/eds_color.h"

#include <optional>
#include <string>
#include <utility>

#include <gtest/gtest.h>

#include "calendar_listing.h"

namespace vandrelis::store {
namespace {

TEST(EdsColor, TheFormsGtkReadsAndNothingElse) {
  const std::optional<std::string> none;
  // clang-format off
  const std::pair<const char*, std::optional<std::string>> cases[] = {
      // Hexadecimal, each channel widened by repeating its digits; 0x8008 of 0xffff is 127.53.
      {"#62a0ea", "#62A0EA"}, {"#6262a0a0eaea", "#62A0EA"}, {"#F80", "#FF8800"},
      {"#800800800", "#808080"}, {"#7f807f807f80", "#7F7F7F"}, {"  #62A0EA\n", "#62A0EA"},
      // Channels of 0 to 255 or percentages, held to that range and rounded; alpha dropped.
      {"rgb(98,160,234)", "#62A0EA"}, {"RGB ( 98 , 160 , 234 )", "#62A0EA"},
      {"rgba(98,160,234,0.5)", "#62A0EA"}, {"rgba(50%, 0%, 100%, 30%)", "#8000FF"},
      {"rgb(10.5%,20 %,0.2)", "#1B3300"}, {"rgb(127.5,-20,300)", "#8000FF"},
      {"rgb(1e2,2.55E2,.5e1)", "#64FF05"},
      // CSS names in any case; CSS's green, not X11's.
      {"CornflowerBlue", "#6495ED"}, {"green", "#008000"}, {"aliceblue", "#F0F8FF"},
      {"yellowgreen", "#9ACD32"},
      // Anything else.
      {"", none}, {"62a0ea", none}, {"#62a0e", none}, {"#62a0eaff", none}, {"#62a0eg", none},
      {"#62a0eaeaeaeaeaea", none}, {"rgb(98,160)", none}, {"rgb(98,160,234,1)", none},
      {"rgba(98,160,234)", none}, {"rgb(98,160,234", none}, {"rgb(98,160,234) x", none},
      {"rgb(.,1,2)", none}, {"hsl(120,100%,50%)", none}, {"navyblue", none},
      {"transparent", none}};
  // clang-format on
  for (const auto& [text, listed] : cases) {
    EXPECT_EQ(colorText(parseEdsColor(text)), listed) << '"' << text << '"';
  }
}

}  // namespace
}  // namespace vandrelis::store
