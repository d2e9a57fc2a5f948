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
