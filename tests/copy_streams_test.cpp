#include "cli/copy_streams.h"

#include <gtest/gtest.h>

#include <string>
#include <vector>

#include "tests/fake_platform.h"

namespace chanpipe {
namespace {

using fake::FakePlatform;
using fake::kFakeStdIn;
using fake::kFakeStdOut;
using fake::ReadStep;
using fake::WriteStep;

std::string pattern(std::size_t size, unsigned seed) {
  std::string bytes(size, '\0');
  unsigned state = seed;
  for (auto& byte : bytes) {
    state = state * 1103515245u + 12345u;
    byte = static_cast<char>(state >> 16);
  }
  return bytes;
}

std::string pairs(int n) {
  std::string text;
  for (int i = 0; i < n; ++i) text += "Executing WriteFile\nFinished WriteFile\n";
  return text;
}

int copy(FakePlatform& fake) { return copy_streams(fake, kFakeStdIn, kFakeStdOut); }

TEST(CopyStreamsTest, TheSourceEndsWithBrokenPipeOrAnEmptyRead) {
  FakePlatform broken;
  EXPECT_EQ(copy(broken), 0);
  EXPECT_EQ(broken.err(), "");
  EXPECT_EQ(broken.std_out.write_sizes.size(), 0u);

  FakePlatform empty;
  empty.std_in.reads = {ReadStep{"abc", 0}, ReadStep{"", 0}, ReadStep{"never", 0}};
  EXPECT_EQ(copy(empty), 0);
  EXPECT_EQ(empty.err(), pairs(1));
  EXPECT_EQ(empty.std_out.written, "abc") << "nothing after the empty read is taken";
}

TEST(CopyStreamsTest, OtherReadFailuresEndWithStatus5) {
  struct Case {
    std::uint32_t error;
    const char* line;
  } cases[] = {{5, "ReadFile error 5\n"},
               {0, "ReadFile error 0\n"},
               {0xc0000001u, "ReadFile error -1073741823\n"},
               {110, "ReadFile error 110\n"}};
  for (const Case& c : cases) {
    FakePlatform fake;
    fake.std_in.reads = {ReadStep{"ab", 0}};
    fake.std_in.end_error = c.error;
    EXPECT_EQ(copy(fake), 5);
    EXPECT_EQ(fake.err(), pairs(1) + c.line);
    EXPECT_EQ(fake.std_out.written, "ab");
  }
}

TEST(CopyStreamsTest, AFailedWriteReportsItsOwnErrorAfterBothProgressLines) {
  FakePlatform fake;
  fake.std_in.reads = {ReadStep{"first", 0}, ReadStep{"second", 0}};
  fake.std_out.writes = {WriteStep{}, WriteStep{0, 232}};
  EXPECT_EQ(copy(fake), 4);
  // The fake's printing changes the last error, as the runtime may: the
  // number must be the write's own.
  EXPECT_EQ(fake.err(), pairs(2) + "WriteFile error 232\n");
  EXPECT_EQ(fake.std_out.written, "first");
  EXPECT_EQ(fake.std_in.reads.size(), 0u);
  EXPECT_EQ(fake.std_out.write_sizes, (std::vector<std::uint32_t>{5, 6}));
}

TEST(CopyStreamsTest, ChunksAreAtMost4096BytesAndKeepTheSourcesSizes) {
  FakePlatform fake;
  std::string data = pattern(10000, 1);
  std::string piped = pattern(5000, 2);
  fake.std_in.reads = {ReadStep{data, 0}, ReadStep{piped.substr(0, 100), 0},
                       ReadStep{piped.substr(100), 0}};
  EXPECT_EQ(copy(fake), 0);
  EXPECT_EQ(fake.std_out.written, data + piped);
  EXPECT_EQ(fake.std_out.write_sizes,
            (std::vector<std::uint32_t>{4096, 4096, 1808, 100, 4096, 804}));
  EXPECT_EQ(fake.err(), pairs(6));
  for (const auto& text : fake.call_texts()) {
    if (text.rfind("ReadFile", 0) == 0) {
      EXPECT_EQ(text, "ReadFile(4096)");
    }
  }
}

TEST(CopyStreamsTest, EveryByteValuePassesUnchanged) {
  FakePlatform fake;
  std::string all;
  for (int i = 0; i < 256; ++i) all += static_cast<char>(i);
  all += "\r\n\n\r\x1a\0end";
  fake.std_in.reads = {ReadStep{all, 0}};
  EXPECT_EQ(copy(fake), 0);
  EXPECT_EQ(fake.std_out.written, all);
}

TEST(CopyStreamsTest, AShortWriteIsCompletedEachCallBetweenItsOwnLines) {
  FakePlatform fake;
  std::string data = pattern(4096, 3);
  fake.std_in.reads = {ReadStep{data, 0}};
  fake.std_out.writes = {WriteStep{1000, 0}, WriteStep{1, 0}, WriteStep{}};
  EXPECT_EQ(copy(fake), 0);
  EXPECT_EQ(fake.std_out.written, data);
  EXPECT_EQ(fake.std_out.write_sizes, (std::vector<std::uint32_t>{4096, 3096, 3095}));
  EXPECT_EQ(fake.err(), pairs(3));
}

TEST(CopyStreamsTest, AWriteThatTakesNothingFailsInsteadOfSpinning) {
  FakePlatform fake;
  fake.std_in.reads = {ReadStep{"data", 0}};
  fake.std_out.writes = {WriteStep{2, 0}, WriteStep{0, 0}};
  EXPECT_EQ(copy(fake), 4);
  EXPECT_EQ(fake.std_out.write_sizes, (std::vector<std::uint32_t>{4, 2}));
  EXPECT_EQ(fake.std_out.written, "da");
  const std::string& err = fake.err();
  ASSERT_EQ(err.rfind(pairs(2) + "WriteFile error ", 0), 0u) << err;
  EXPECT_EQ(err.back(), '\n');
}

}  // namespace
}  // namespace chanpipe
