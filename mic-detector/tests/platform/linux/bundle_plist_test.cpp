// The bundle reader on real directories: XML and binary dictionaries, and the broken ones.
#include <gtest/gtest.h>
#include <sys/stat.h>

#include "platform/bundle.h"
#include "plist_files.h"
#include "test_files.h"

namespace micdetector {
namespace {

using testing::PlistValue;

TEST(Bundle, ReadsXmlAndBinaryInformationDictionaries) {
  testing::TempDir directory;
  for (const bool binary : {false, true}) {
    const std::string path = directory.path() + (binary ? "/Binary.app" : "/Xml.app");
    testing::writeBundle(path,
                         {{"CFBundleIdentifier", PlistValue("com.example.rec/order")},
                          {"CFBundleName", PlistValue("Rec\xC3\xB6rder")},
                          {"CFBundleVersion", PlistValue(std::uint64_t{42})}},
                         binary);
    if (binary) {
      EXPECT_EQ(testing::readFile(path + "/Contents/Info.plist").substr(0, 8), "bplist00");
    } else {
      EXPECT_NE(testing::readFile(path + "/Contents/Info.plist").find("<plist"), std::string::npos);
    }
    const auto bundle = Bundle::atDirectory(path);
    ASSERT_TRUE(bundle.has_value());
    EXPECT_EQ(bundle->bundleIdentifier(), "com.example.rec/order");
    const InfoValue name = bundle->objectForInfoDictionaryKey("CFBundleName");
    EXPECT_EQ(name.kind, InfoValue::Kind::text);
    EXPECT_EQ(name.text, "Rec\xC3\xB6rder");
    EXPECT_EQ(bundle->objectForInfoDictionaryKey("CFBundleVersion").kind, InfoValue::Kind::other);
    EXPECT_EQ(bundle->objectForInfoDictionaryKey("CFBundleDisplayName").kind,
              InfoValue::Kind::missing);
  }
}

TEST(Bundle, DirectoriesWithoutAUsableDictionaryAreBundlesWithoutIdentifier) {
  testing::TempDir directory;
  const std::string root = directory.path();
  EXPECT_FALSE(Bundle::atDirectory(root + "/Missing.app").has_value());
  testing::writeFile(root + "/File.app", "not a directory");
  EXPECT_FALSE(Bundle::atDirectory(root + "/File.app").has_value());

  testing::makeDirectories(root + "/Empty.app");
  testing::writeFile(root + "/Garbage.app/Contents/Info.plist", "<?xml garbage \x01\x02");
  testing::writeFile(root + "/Blank.app/Contents/Info.plist", "");
  testing::writeFile(root + "/Array.app/Contents/Info.plist",
                     "<?xml version=\"1.0\"?><plist version=\"1.0\"><array><string>x</string>"
                     "</array></plist>");
  testing::writeBundle(root + "/NumberId.app",
                       {{"CFBundleIdentifier", PlistValue(std::uint64_t{7})}}, true);
  testing::makeDirectories(root + "/Dir.app/Contents/Info.plist");
  // A FIFO in place of the dictionary must not stall the reader.
  testing::makeDirectories(root + "/Fifo.app/Contents");
  ASSERT_EQ(::mkfifo((root + "/Fifo.app/Contents/Info.plist").c_str(), 0600), 0);
  // Dictionaries beyond a few megabytes are not read.
  testing::writeFile(root + "/Huge.app/Contents/Info.plist",
                     testing::infoPlist({{"CFBundleIdentifier", PlistValue("com.example.huge")},
                                         {"Padding", PlistValue(std::string(5 << 20, 'p'))}},
                                        false));
  for (const char* name :
       {"Empty", "Garbage", "Blank", "Array", "NumberId", "Dir", "Fifo", "Huge"}) {
    const auto bundle = Bundle::atDirectory(root + "/" + name + ".app");
    ASSERT_TRUE(bundle.has_value()) << name;
    EXPECT_EQ(bundle->bundleIdentifier(), std::nullopt) << name;
    EXPECT_EQ(bundle->objectForInfoDictionaryKey("CFBundleName").kind, InfoValue::Kind::missing);
  }
}

}  // namespace
}  // namespace micdetector

namespace micdetector {
namespace {

// An XML dictionary with an identifier and a value nested `depth` arrays deep.
std::string nestedXml(std::size_t depth) {
  std::string text =
      "<?xml version=\"1.0\" encoding=\"UTF-8\"?>\n<plist version=\"1.0\"><dict>"
      "<key>CFBundleIdentifier</key><string>org.example.Nested</string><key>Deep</key>";
  for (std::size_t i = 0; i < depth; ++i) text += "<array>";
  for (std::size_t i = 0; i < depth; ++i) text += "</array>";
  return text + "</dict></plist>\n";
}

void appendBigEndian(std::string& out, std::uint64_t value, int size) {
  for (int shift = (size - 1) * 8; shift >= 0; shift -= 8) {
    out.push_back(static_cast<char>(value >> shift & 0xff));
  }
}

// The same as a binary property list (8-byte offsets, 4-byte references): value 0 is the root
// dictionary, 1 to 4 its keys and values, 5 on the arrays, each holding the next.
struct BinaryPlist {
  explicit BinaryPlist(std::size_t depth) {
    std::vector<std::string> values{"", "CFBundleIdentifier", "org.example.Nested", "Deep"};
    std::string dictionary("\xd2", 1);  // two entries
    for (std::uint64_t ref : {1, 3, 2, 4}) appendBigEndian(dictionary, ref, 4);
    values[0] = dictionary;
    for (std::size_t i = 1; i <= 3; ++i) {
      values[i] = static_cast<char>(0x5f) + std::string("\x10", 1) +
                  static_cast<char>(values[i].size()) + values[i];
    }
    for (std::size_t i = 0; i < depth; ++i) {
      std::string array(1, static_cast<char>(i + 1 < depth ? 0xa1 : 0xa0));
      if (i + 1 < depth) appendBigEndian(array, 5 + i, 4);
      values.push_back(array);
    }
    bytes = "bplist00";
    for (const std::string& value : values) {
      offsets.push_back(bytes.size());
      bytes += value;
    }
    tableOffset = bytes.size();
  }

  std::string file() const {
    std::string out = bytes;
    for (std::uint64_t offset : offsets) appendBigEndian(out, offset, 8);
    out += std::string(6, '\0') + std::string("\x08\x04", 2);
    appendBigEndian(out, count ? *count : offsets.size(), 8);
    appendBigEndian(out, root, 8);
    appendBigEndian(out, tableOffset, 8);
    return out;
  }

  std::string bytes;
  std::vector<std::uint64_t> offsets;
  std::uint64_t tableOffset = 0;
  std::optional<std::uint64_t> count;
  std::uint64_t root = 0;
};

TEST(Bundle, HostileDictionariesGiveNoIdentifierAndNeitherCrashNorStall) {
  BinaryPlist wildOffset(3), wildReference(3), wildRoot(3), wildTable(3), wildLength(3);
  // An offset that points far past the file: libplist adds it to its pointer unchecked.
  wildOffset.offsets[2] = 0xffffffffffffff00;
  wildReference.bytes[wildReference.offsets[0] + 4] = 0x7f;  // a key that names no value
  wildRoot.root = 99;
  wildTable.tableOffset = 1 << 30;
  wildLength.bytes[wildLength.offsets[2] + 2] = 0x7f;  // text running past the values
  const struct {
    const char* name;
    std::string file;
    bool readable;
  } cases[] = {
      {"XML 60 deep", nestedXml(60), true},
      {"binary 60 deep", BinaryPlist(60).file(), true},
      {"XML 200,000 deep", nestedXml(200'000), false},
      {"XML 65 deep", nestedXml(65), false},
      {"binary 100,000 deep", BinaryPlist(100'000).file(), false},
      {"binary 60,000 deep", BinaryPlist(60'000).file(), false},
      {"binary 65 deep", BinaryPlist(65).file(), false},
      {"offset past the file", wildOffset.file(), false},
      {"reference to no value", wildReference.file(), false},
      {"root that is no value", wildRoot.file(), false},
      {"offset table past the file", wildTable.file(), false},
      {"text past its area", wildLength.file(), false},
      {"trailer only", BinaryPlist(1).file().substr(0, 39), false},
  };
  testing::TempDir directory;
  for (const auto& one : cases) {
    const std::string path = directory.path() + "/" + one.name + ".app";
    testing::writeFile(path + "/Contents/Info.plist", one.file);
    const auto bundle = Bundle::atDirectory(path);
    ASSERT_TRUE(bundle.has_value()) << one.name;
    EXPECT_EQ(bundle->bundleIdentifier(),
              one.readable ? std::optional<std::string>("org.example.Nested") : std::nullopt)
        << one.name;
  }
}

}  // namespace
}  // namespace micdetector
