// The frame at process level (the built program) and in-process with the memory store.
#include "command_frame.h"

#include <sys/stat.h>

#include <filesystem>

#include <gtest/gtest.h>

#include "memory_store.h"
#include "test_support.h"

namespace vandrelis::testing {
namespace {

#ifdef EVENTKIT_BINARY
RunResult runHelperProgram(std::vector<std::string> arguments, const std::string& dataHome) {
  arguments.insert(arguments.begin(), EVENTKIT_BINARY);
  return runProcess(EVENTKIT_BINARY, arguments, {{"XDG_DATA_HOME", dataHome}});
}

TEST(CommandFrame, FailuresOfTheCommandWordAtProcessLevel) {
  TempDir home;
  struct Case {
    std::vector<std::string> arguments;
    std::string err;
  };
  const Case cases[] = {
      {{}, "vandrelis-eventkit: Usage: vandrelis-eventkit "
           "<status|authorize|list-calendars|snapshot|watch>\n"},
      {{"STATUS"}, "vandrelis-eventkit: Unknown command: STATUS\n"},
      {{""}, "vandrelis-eventkit: Unknown command: \n"},
      {{"--start", "2024-05-01T00:00:00.000Z", "snapshot"},
       "vandrelis-eventkit: Unknown command: --start\n"},
      {{"status "}, "vandrelis-eventkit: Unknown command: status \n"},
      // Invalid bytes are reported as U+FFFD: the report line is always valid UTF-8.
      {{"st\xFF"}, "vandrelis-eventkit: Unknown command: st\xEF\xBF\xBD\n"},
  };
  for (const Case& c : cases) {
    RunResult result = runHelperProgram(c.arguments, home.path());
    EXPECT_EQ(result.exitStatus, 1);
    EXPECT_EQ(result.out, "");
    EXPECT_EQ(result.err, c.err);
  }
}

#ifdef __linux__
TEST(CommandFrame, StatusAndAuthorizeOnTheLinuxStore) {
  TempDir home;
  const std::string root = home.path() + "/vandrelis/calendars";
  RunResult result = runHelperProgram({"status"}, home.path());
  EXPECT_EQ(result.exitStatus, 0);
  EXPECT_EQ(result.out, "{\"authorizationStatus\":\"not-determined\"}\n");
  EXPECT_EQ(result.err, "");
  EXPECT_FALSE(std::filesystem::exists(root)) << "status must not create the root";

  // Extra words after the command word are ignored.
  result = runHelperProgram({"authorize", "--calendar", "x"}, home.path());
  EXPECT_EQ(result.exitStatus, 0);
  EXPECT_EQ(result.out, "{\"authorizationStatus\":\"granted\"}\n");
  struct stat info;
  ASSERT_EQ(::stat(root.c_str(), &info), 0);
  EXPECT_EQ(info.st_mode & 0777, 0700u);

  result = runHelperProgram({"status", "extra"}, home.path());
  EXPECT_EQ(result.exitStatus, 0);
  EXPECT_EQ(result.out, "{\"authorizationStatus\":\"granted\"}\n");

  // Asking again when access is already granted answers the same and changes nothing.
  result = runHelperProgram({"authorize"}, home.path());
  EXPECT_EQ(result.out, "{\"authorizationStatus\":\"granted\"}\n");
}

TEST(CommandFrame, FailedAccessRequestOnTheLinuxStore) {
  TempDir home;
  // A file where a parent directory of the root should be: creation fails.
  { std::FILE* f = std::fopen((home.path() + "/vandrelis").c_str(), "w"); std::fclose(f); }
  RunResult result = runHelperProgram({"authorize"}, home.path());
  EXPECT_EQ(result.exitStatus, 1);
  EXPECT_EQ(result.out, "");
  EXPECT_EQ(result.err, "vandrelis-eventkit: Not a directory\n");
}
#endif  // __linux__
#endif  // EVENTKIT_BINARY

TEST(CommandFrame, StatusReportsEveryStoreStatusWord) {
  const std::pair<std::int64_t, const char*> cases[] = {
      {0, "not-determined"}, {1, "restricted"}, {2, "denied"},    {3, "granted"},
      {4, "write-only"},     {5, "unknown"},    {-1, "unknown"}, {INT64_MIN, "unknown"},
  };
  for (const auto& [status, word] : cases) {
    auto store = std::make_shared<MemoryStore>();
    store->status = status;
    RunResult result = runInProcess({"status"}, store);
    EXPECT_EQ(result.exitStatus, 0);
    EXPECT_EQ(result.out, std::string("{\"authorizationStatus\":\"") + word + "\"}\n");
    EXPECT_EQ(result.err, "");
  }
}

TEST(CommandFrame, AuthorizeReadsTheWordAfterTheRequest) {
  auto store = std::make_shared<MemoryStore>();
  store->status = 0;
  // The user refuses: no error, the word afterwards is reported, exit 0.
  store->accessOutcome = {false, std::nullopt, 2, true};
  RunResult result = runInProcess({"authorize"}, store);
  EXPECT_EQ(result.exitStatus, 0);
  EXPECT_EQ(result.out, "{\"authorizationStatus\":\"denied\"}\n");
  EXPECT_EQ(store->accessRequests, 1);

  // The granted flag is not what is reported: the status afterwards is.
  store->status = 4;
  store->accessOutcome = {true, std::nullopt, std::nullopt, false};
  result = runInProcess({"authorize"}, store);
  EXPECT_EQ(result.out, "{\"authorizationStatus\":\"write-only\"}\n");

  // Already granted: asked again all the same.
  store->status = 3;
  result = runInProcess({"authorize"}, store);
  EXPECT_EQ(result.out, "{\"authorizationStatus\":\"granted\"}\n");
  EXPECT_EQ(store->accessRequests, 3);
}

TEST(CommandFrame, AuthorizeFailureKeepsThePlatformDescription) {
  auto store = std::make_shared<MemoryStore>();
  store->accessOutcome = {false, StoreError{"The operation couldn\xE2\x80\x99t be completed.\nx"},
                          std::nullopt, true};
  RunResult result = runInProcess({"authorize"}, store);
  EXPECT_EQ(result.exitStatus, 1);
  EXPECT_EQ(result.out, "");
  EXPECT_EQ(result.err,
            "vandrelis-eventkit: The operation couldn\xE2\x80\x99t be completed.\nx\n");
}

TEST(CommandFrame, NoStoreIsMadeWithoutACommandWord) {
  int made = 0;
  OutputCapture capture;
  int status = runHelper({}, [&] {
    ++made;
    return std::make_shared<MemoryStore>();
  });
  RunResult result = capture.finish();
  EXPECT_EQ(status, 1);
  EXPECT_EQ(made, 0);
  status = runHelper({"nope"}, [&] {
    ++made;
    return std::make_shared<MemoryStore>();
  });
  EXPECT_EQ(made, 1);
}

}  // namespace
}  // namespace vandrelis::testing
