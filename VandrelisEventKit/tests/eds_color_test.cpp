// Colour texts of EDS sources, read through to the "#RRGGBB" that list-calendars writes.
#include "store/eds_color.h"

#include <optional>
#include <string>

#include <gtest/gtest.h>

#include "calendar_listing.h"

namespace vandrelis::store {
namespace {

struct ColorCase {
  const char* text;
  std::optional<std::string> listed;
};

TEST(EdsColor, TheFormsGtkWritesAndNothingElse) {
  const ColorCase cases[] = {
      // Hexadecimal, each channel widened by repeating its digits.
      {"#62a0ea", "#62A0EA"},
      {"#6262a0a0eaea", "#62A0EA"},
      {"#F80", "#FF8800"},
      {"#800800800", "#808080"},  // 0x8008 of 0xffff is 127.53 of 255
      {"#7ff7ff7ff", "#7F7F7F"},  // 127.47
      {"#7f807f807f80", "#7F7F7F"},
      {"  #62A0EA\n", "#62A0EA"},
      // Functions: channels of 0 to 255 or percentages, rounded; alpha read and dropped.
      {"rgb(98,160,234)", "#62A0EA"},
      {"rgb( 98 , 160 , 234 )", "#62A0EA"},
      {"RGB (98,160,234)", "#62A0EA"},
      {"rgba(98,160,234,0.5)", "#62A0EA"},
      {"rgba(50%, 0%, 100%, 30%)", "#8000FF"},
      {"rgb(10.5%,20 %,0.2)", "#1B3300"},
      {"rgb(127.5,-20,300)", "#8000FF"},  // held to 0..255
      {"rgb(1e2,2.55E2,.5e1)", "#64FF05"},
      {"rgba(0,0,0,0)", "#000000"},
      // CSS names in any case; CSS's green, not X11's.
      {"cornflowerblue", "#6495ED"},
      {"CornflowerBlue", "#6495ED"},
      {"green", "#008000"},
      {"rebeccapurple", "#663399"},
      {"aliceblue", "#F0F8FF"},
      {"yellowgreen", "#9ACD32"},
      // Anything else.
      {"", std::nullopt},
      {"#", std::nullopt},
      {"62a0ea", std::nullopt},
      {"#62a0e", std::nullopt},
      {"#62a0eaff", std::nullopt},
      {"#62a0eaeaeaeaeaea", std::nullopt},
      {"#62a0eg", std::nullopt},
      {"rgb(98,160)", std::nullopt},
      {"rgb(98,160,234,1)", std::nullopt},
      {"rgba(98,160,234)", std::nullopt},
      {"rgb(98,160,234", std::nullopt},
      {"rgb(98,160,234) x", std::nullopt},
      {"rgb(98;160;234)", std::nullopt},
      {"rgb(a,b,c)", std::nullopt},
      {"rgb(.,1,2)", std::nullopt},
      {"rgb 98 160 234", std::nullopt},
      {"hsl(120,100%,50%)", std::nullopt},
      {"cornflower blue", std::nullopt},
      {"navyblue", std::nullopt},  // an X11 name only
      {"transparent", std::nullopt},
  };
  for (const ColorCase& c : cases) {
    EXPECT_EQ(colorText(parseEdsColor(c.text)), c.listed) << '"' << c.text << '"';
  }
}

}  // namespace
}  // namespace vandrelis::store
