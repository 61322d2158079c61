// The copy loop through the Win32 layer on real pipes and files: how each
// copy ends, the bytes that arrive, and the exact standard error bytes.
#include <gtest/gtest.h>

#include <cstdint>
#include <string>
#include <vector>

#include "cli/copy_streams.h"
#include "platform/platform-win32.h"
#include "win32_test_support.h"

namespace {

using chanpipe::Handle;
using namespace chanpipe_test;  // NOLINT: the test helpers

const std::string kProgressPair = "Executing WriteFile\r\nFinished WriteFile\r\n";

// The real Win32 layer, with a record of every transfer the loop asks for.
class RecordingPlatform : public chanpipe::Win32Platform {
 public:
  int read_file(Handle handle, void* buffer, std::uint32_t size, std::uint32_t* read) override {
    int ok = Win32Platform::read_file(handle, buffer, size, read);
    DWORD error = GetLastError();
    if (ok) reads.push_back(*read);
    SetLastError(error);
    return ok;
  }
  int write_file(Handle handle, const void* buffer, std::uint32_t size,
                 std::uint32_t* written) override {
    int ok = Win32Platform::write_file(handle, buffer, size, written);
    DWORD error = GetLastError();
    writes.push_back(size);
    if (ok) written_counts.push_back(*written);
    SetLastError(error);
    return ok;
  }

  std::vector<std::uint32_t> reads;           // counts of successful reads
  std::vector<std::uint32_t> writes;          // sizes asked of every write
  std::vector<std::uint32_t> written_counts;  // counts of successful writes
};

struct CopyResult {
  int status;
  std::string err;
};

CopyResult copy(chanpipe::Platform& platform, HANDLE source, HANDLE destination) {
  StderrCapture capture;
  int status = chanpipe::copy_streams(platform, as_handle(source), as_handle(destination));
  return {status, capture.finish()};
}

TEST(CopyEnds, PipeWhoseWriterClosesAtOnceEndsWithStatus0AndNoLine) {
  RecordingPlatform platform;
  Pipe pipe;
  pipe.writer.reset();
  TempFile destination;
  OwnedHandle out(destination.open(GENERIC_WRITE));

  CopyResult result = copy(platform, pipe.reader.get(), out.get());
  EXPECT_EQ(result.status, 0);
  EXPECT_EQ(result.err, "");
  EXPECT_TRUE(platform.writes.empty());
  EXPECT_EQ(destination.contents(), "");
}

TEST(CopyEnds, FileReadToItsEndEndsWithStatus0) {
  const std::string data = chanpipe_test::every_byte_pattern(2 * 4096 + 1808);
  RecordingPlatform platform;
  TempFile source(data);
  OwnedHandle in(source.open(GENERIC_READ));
  Pipe pipe;
  std::string received;
  chanpipe_test::Thread reader([&] { received = chanpipe_test::read_to_end(pipe.reader.get()); });

  CopyResult result = copy(platform, in.get(), pipe.writer.get());
  pipe.writer.reset();
  reader.join();
  EXPECT_EQ(result.status, 0);
  // A file gives full chunks, then the rest, then nothing.
  EXPECT_EQ(platform.reads, (std::vector<std::uint32_t>{4096, 4096, 1808, 0}));
  EXPECT_EQ(platform.writes, (std::vector<std::uint32_t>{4096, 4096, 1808}));
  EXPECT_EQ(result.err, chanpipe_test::repeat(kProgressPair, 3));
  EXPECT_TRUE(received == data) << "bytes changed on the way";
}

TEST(CopyData, MoreThanTwoChunksThroughAPipeArriveInOrder) {
  // Pieces of awkward sizes, so that reads see whatever the pipe holds.
  const std::vector<std::size_t> pieces = {1, 4095, 4097, 10000, 3, 8192, 700};
  std::size_t total = 0;
  for (std::size_t piece : pieces) total += piece;
  const std::string data = chanpipe_test::every_byte_pattern(total);

  RecordingPlatform platform;
  Pipe pipe;
  TempFile destination;
  OwnedHandle out(destination.open(GENERIC_WRITE));
  chanpipe_test::Thread writer([&] {
    std::size_t at = 0;
    for (std::size_t piece : pieces) {
      chanpipe_test::write_all(pipe.writer.get(), data.substr(at, piece));
      at += piece;
    }
    pipe.writer.reset();
  });

  CopyResult result = copy(platform, pipe.reader.get(), out.get());
  writer.join();
  EXPECT_EQ(result.status, 0);
  EXPECT_TRUE(destination.contents() == data) << "bytes lost, changed or reordered";

  // Each chunk is written in the size it was read, at most 4096 bytes, and
  // a file takes every write whole.
  EXPECT_GE(platform.reads.size(), (total + 4095) / 4096);
  EXPECT_EQ(platform.writes, platform.reads);
  EXPECT_EQ(platform.written_counts, platform.writes);
  for (std::uint32_t count : platform.reads) {
    EXPECT_GE(count, 1u);
    EXPECT_LE(count, chanpipe::kChunkSize);
  }
  EXPECT_EQ(result.err, chanpipe_test::repeat(kProgressPair, platform.writes.size()));
}

TEST(CopyWriteFails, ReadOnlyDestinationEndsWithStatus4AndStopsReading) {
  const std::string data = chanpipe_test::every_byte_pattern(4096 + 100);
  RecordingPlatform platform;
  Pipe pipe;
  chanpipe_test::write_all(pipe.writer.get(), data);
  pipe.writer.reset();
  TempFile destination;
  OwnedHandle out(destination.open(GENERIC_READ));

  CopyResult result = copy(platform, pipe.reader.get(), out.get());
  EXPECT_EQ(result.status, 4);
  EXPECT_EQ(result.err, kProgressPair + "WriteFile error 5\r\n");
  // One chunk was read and lost; nothing more is read or retried.
  EXPECT_EQ(platform.reads, (std::vector<std::uint32_t>{4096}));
  EXPECT_EQ(platform.writes.size(), 1u);
  DWORD left = 0;
  ASSERT_TRUE(PeekNamedPipe(pipe.reader.get(), nullptr, 0, nullptr, &left, nullptr));
  EXPECT_EQ(left, 100u);
}

TEST(CopyWriteFails, PipeWithItsReaderClosedEndsWithStatus4) {
  RecordingPlatform platform;
  TempFile source("some bytes");
  OwnedHandle in(source.open(GENERIC_READ));
  Pipe pipe;
  pipe.reader.reset();

  CopyResult result = copy(platform, in.get(), pipe.writer.get());
  EXPECT_EQ(result.status, 4);
  // ERROR_NO_DATA: "The pipe is being closed."
  EXPECT_EQ(result.err, kProgressPair + "WriteFile error 232\r\n");
}

TEST(CopyWriteFails, MissingDestinationHandleEndsWithStatus4) {
  RecordingPlatform platform;
  TempFile source("some bytes");
  OwnedHandle in(source.open(GENERIC_READ));

  // GetStdHandle gives a null handle to a process without that stream.
  CopyResult result = copy(platform, in.get(), nullptr);
  EXPECT_EQ(result.status, 4);
  EXPECT_EQ(result.err, kProgressPair + "WriteFile error 6\r\n");
}

TEST(CopyReadFails, ReadFailureOtherThanEndOfSourceEndsWithStatus5) {
  TempFile source("some bytes");
  OwnedHandle write_only(source.open(GENERIC_WRITE));
  // A write-only handle refuses reads; a null one is a missing stdin.
  const struct {
    HANDLE source;
    const char* err;
  } cases[] = {{write_only.get(), "ReadFile error 5\r\n"}, {nullptr, "ReadFile error 6\r\n"}};
  for (const auto& c : cases) {
    RecordingPlatform platform;
    TempFile destination;
    OwnedHandle out(destination.open(GENERIC_WRITE));
    CopyResult result = copy(platform, c.source, out.get());
    EXPECT_EQ(result.status, 5);
    EXPECT_EQ(result.err, c.err);
    EXPECT_TRUE(platform.writes.empty());
    EXPECT_EQ(destination.contents(), "");
  }
}

}  // namespace
