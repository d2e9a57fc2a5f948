// Both directions of the timestamp formatter.
#include "iso_formatter.h"

#include <cmath>
#include <limits>
#include <optional>

#include <gtest/gtest.h>

namespace vandrelis {
namespace {

TEST(IsoFormatter, FormatsInUtcWithMilliseconds) {
  const IsoFormatter& f = isoFormatter();
  EXPECT_EQ(f.string(1714521600.0), "2024-05-01T00:00:00.000Z");
  EXPECT_EQ(f.string(1714552215.25), "2024-05-01T08:30:15.250Z");
  EXPECT_EQ(f.string(1714552215.123), "2024-05-01T08:30:15.123Z");  // not .122 from binary noise
  EXPECT_EQ(f.string(1714552215.1239), "2024-05-01T08:30:15.123Z");  // finer parts are cut off
  EXPECT_EQ(f.string(0), "1970-01-01T00:00:00.000Z");
  EXPECT_EQ(f.string(-0.001), "1969-12-31T23:59:59.999Z");
  EXPECT_EQ(f.string(-0.0005), "1969-12-31T23:59:59.999Z");
  EXPECT_EQ(f.string(951782400), "2000-02-29T00:00:00.000Z");
  EXPECT_EQ(f.string(253402300799.999), "9999-12-31T23:59:59.999Z");
  EXPECT_EQ(f.string(-62135596800.0), "0001-01-01T00:00:00.000Z");
  EXPECT_EQ(f.string(1714552215.25).size(), 24u);
  EXPECT_EQ(&isoFormatter(), &f);
}

TEST(IsoFormatter, ParsesOffsetsAndFractions) {
  const IsoFormatter& f = isoFormatter();
  EXPECT_EQ(f.date("2024-05-01T00:00:00.000Z"), 1714521600.0);
  EXPECT_EQ(f.date("2024-05-01T02:00:00.000+02:00"), 1714521600.0);
  EXPECT_EQ(f.date("2024-04-30T22:30:00.000-01:30"), 1714521600.0);
  EXPECT_EQ(f.date("2024-05-01T00:00:00.001Z"), 1714521600.001);
  EXPECT_EQ(f.date("2024-05-01T00:00:00.123456789Z"), 1714521600.123456789);
  EXPECT_EQ(f.date("2024-02-29T00:00:00.000Z"), 1709164800.0);
  EXPECT_EQ(f.date("1969-12-31T23:59:59.999Z"), -0.001);
  // Formatting what was parsed gives the canonical form back.
  EXPECT_EQ(f.string(*f.date("2024-05-01T10:20:30.450+05:45")), "2024-05-01T04:35:30.450Z");
}

TEST(IsoFormatter, RejectsWhatIsNotTheInternetDateTimeWithFraction) {
  const IsoFormatter& f = isoFormatter();
  for (const char* text : {
           "2024-05-01T00:00:00Z",           // no fraction
           "2024-05-01T00:00:00.Z",          // empty fraction
           "2024-05-01T00:00:00.12Z",        // fewer than three digits
           "2024-05-01T00:00:00.1234567891Z",  // more than nine
           "2024-13-01T00:00:00.000Z", "2024-00-01T00:00:00.000Z", "2024-05-32T00:00:00.000Z",
           "2024-05-00T00:00:00.000Z", "2024-05-01T24:00:00.000Z", "2024-05-01T00:60:00.000Z",
           "2024-05-01T00:00:60.000Z", "2024-02-30T00:00:00.000Z", "2023-02-29T00:00:00.000Z",
           "1900-02-29T00:00:00.000Z",
           " 2024-05-01T00:00:00.000Z", "2024-05-01T00:00:00.000Z ", "2024-05-01T00:00:00.000Zx",
           "2024-05-01 00:00:00.000Z", "2024-05-01t00:00:00.000Z", "2024-05-01T00:00:00.000z",
           "2024-05-01T00:00:00.000", "2024-05-01T00:00:00.000+0200", "2024-05-01T00:00:00.000+02",
           "2024-05-01T00:00:00.000+24:00", "2024-05-01T00:00:00.000+02:60",
           "24-05-01T00:00:00.000Z", "2024-5-01T00:00:00.000Z", "", "--end", "2024-05-01",
           "+024-05-01T00:00:00.000Z", "2024-05-01T00:00:00,000Z",
       }) {
    EXPECT_FALSE(f.date(text).has_value()) << text;
  }
  EXPECT_TRUE(f.date("2000-02-29T00:00:00.000Z").has_value());
}

// Both directions cover UTC years 0000 to 9999; whatever lies outside is clamped when written
// and refused when read, so everything written reads back.
TEST(IsoFormatter, AgreesWithItselfAtTheEdgesOfTheYearRange) {
  const IsoFormatter& f = isoFormatter();
  const double inf = std::numeric_limits<double>::infinity();
  struct Written {
    double instant;
    const char* text;
  };
  for (const Written& c : std::initializer_list<Written>{
           {-62167219200.0, "0000-01-01T00:00:00.000Z"},
           {-62167219200.001, "0000-01-01T00:00:00.000Z"},
           {-62167219201.0, "0000-01-01T00:00:00.000Z"},
           {-1e300, "0000-01-01T00:00:00.000Z"},
           {-inf, "0000-01-01T00:00:00.000Z"},
           {-62162121600.0, "0000-02-29T00:00:00.000Z"},  // year 0 is a leap year
           {253402300799.999, "9999-12-31T23:59:59.999Z"},
           {253402300799.9999, "9999-12-31T23:59:59.999Z"},  // rounds up to year 10000
           {253402300800.0, "9999-12-31T23:59:59.999Z"},
           {1e300, "9999-12-31T23:59:59.999Z"},
           {inf, "9999-12-31T23:59:59.999Z"},
           {std::numeric_limits<double>::quiet_NaN(), "1970-01-01T00:00:00.000Z"},
       }) {
    const std::string text = f.string(c.instant);
    EXPECT_EQ(text, c.text) << c.instant;
    EXPECT_EQ(f.string(f.date(text).value_or(-1)), text);
  }
  struct Read {
    const char* text;
    std::optional<double> instant;
  };
  for (const Read& c : std::initializer_list<Read>{
           {"0000-01-01T00:00:00.000Z", -62167219200.0},
           {"0000-01-01T01:00:00.000+01:00", -62167219200.0},
           {"0000-01-01T00:59:59.999+01:00", std::nullopt},  // year -1 in UTC
           {"0000-01-01T00:00:00.000+00:01", std::nullopt},
           {"9999-12-31T23:59:59.999999999Z", 253402300799.999999999},
           {"9999-12-31T22:59:59.999-01:00", 253402300799.999},
           {"9999-12-31T23:00:00.000-01:00", std::nullopt},  // year 10000 in UTC
           {"9999-12-31T23:59:59.999-00:01", std::nullopt},
       }) {
    EXPECT_EQ(f.date(c.text), c.instant) << c.text;
  }
}

}  // namespace
}  // namespace vandrelis
