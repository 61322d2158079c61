// The real chanpipe.exe, started as a child process with an exact command
// line, a pipe on standard input and files on standard output and error.
// Each run is checked for its exit status, the exact bytes of both output
// streams, and the input it left unread. No virtio-serial port exists
// here, so every lookup ends in "not found".
#include <gtest/gtest.h>

#include <cstdio>
#include <cstring>
#include <string>
#include <vector>

#include "win32_test_support.h"

namespace {

using chanpipe_test::OwnedHandle;
using chanpipe_test::TempFile;

// The program under test, given on the command line as --chanpipe=PATH.
std::string g_chanpipe;

// What a run's standard input holds; a run must leave it all unread.
const std::string kInput = "input that chanpipe must not read\r\n\x1a\n";
const std::string kUsage = "Usage: chanpipe [r|w] [channel name]\r\n";

struct Run {
  DWORD status = 0;
  std::string out;
  std::string err;
  std::string input_left;
};

// Quotes one argument so that the C runtime's parser gives it back as is.
std::string quote(const std::string& arg) {
  std::string quoted = "\"";
  std::size_t backslashes = 0;
  for (char c : arg) {
    if (c == '\\') {
      ++backslashes;
      continue;
    }
    // Backslashes before a quote are doubled, and the quote escaped.
    quoted.append(c == '"' ? 2 * backslashes + 1 : backslashes, '\\');
    backslashes = 0;
    quoted += c;
  }
  quoted.append(2 * backslashes, '\\');
  return quoted + "\"";
}

Run run_chanpipe(const std::vector<std::string>& args) {
  Run run;
  std::string command_line = "chanpipe";
  for (const std::string& arg : args) command_line += " " + quote(arg);

  SECURITY_ATTRIBUTES inherit = {sizeof inherit, nullptr, TRUE};
  HANDLE read_end = nullptr;
  HANDLE write_end = nullptr;
  if (!CreatePipe(&read_end, &write_end, &inherit, 65536)) {
    ADD_FAILURE() << "CreatePipe failed: " << GetLastError();
    return run;
  }
  OwnedHandle input(read_end);
  OwnedHandle input_writer(write_end);
  SetHandleInformation(input_writer.get(), HANDLE_FLAG_INHERIT, 0);
  chanpipe_test::write_all(input_writer.get(), kInput);
  // Closed, so that a read would get the bytes and then the end, never hang.
  input_writer.reset();

  TempFile out_file;
  TempFile err_file;
  {
    OwnedHandle out(out_file.open(GENERIC_WRITE, true));
    OwnedHandle err(err_file.open(GENERIC_WRITE, true));
    STARTUPINFOA startup = {};
    startup.cb = sizeof startup;
    startup.dwFlags = STARTF_USESTDHANDLES;
    startup.hStdInput = input.get();
    startup.hStdOutput = out.get();
    startup.hStdError = err.get();
    PROCESS_INFORMATION process = {};
    std::vector<char> line(command_line.begin(), command_line.end());
    line.push_back('\0');
    for (int attempt = 1;; ++attempt) {
      if (CreateProcessA(g_chanpipe.c_str(), line.data(), nullptr, nullptr, TRUE, 0, nullptr,
                         nullptr, &startup, &process)) {
        break;
      }
      DWORD error = GetLastError();
      // Now and then Wine cannot lay out a new process's memory, and the
      // process dies before the program starts; only that is tried again.
      if (error != ERROR_INTERNAL_ERROR || attempt == 3) {
        ADD_FAILURE() << "cannot start " << g_chanpipe << ": " << error;
        return run;
      }
      std::printf("note: chanpipe did not start (error %lu); starting it again\n", error);
    }
    OwnedHandle process_handle(process.hProcess);
    OwnedHandle thread_handle(process.hThread);
    // A hang guard, not a measure: the program never waits on anything here.
    if (WaitForSingleObject(process.hProcess, 30000) != WAIT_OBJECT_0) {
      TerminateProcess(process.hProcess, 99);
      WaitForSingleObject(process.hProcess, INFINITE);
      ADD_FAILURE() << "chanpipe did not end: " << command_line;
    }
    GetExitCodeProcess(process.hProcess, &run.status);
  }
  run.out = out_file.contents();
  run.err = err_file.contents();
  run.input_left = chanpipe_test::read_to_end(input.get());
  return run;
}

std::string not_found(const std::string& name) {
  return name + " not found\r\n" + "Turn UAC off and make sure that " + name +
         " is defined in the VM config.\r\n" + "Unable to find " + name + "\r\n";
}

// Checks one run: its status and standard error, nothing on standard
// output, and standard input untouched.
void expect_run(const std::vector<std::string>& args, DWORD status, const std::string& err) {
  std::string shown;
  for (const std::string& arg : args) shown += " " + quote(arg);
  SCOPED_TRACE("chanpipe" + shown);
  Run run = run_chanpipe(args);
  EXPECT_EQ(run.status, status);
  EXPECT_EQ(run.err, err);
  EXPECT_EQ(run.out, "");
  EXPECT_EQ(run.input_left, kInput);
}

TEST(ChanpipeUsage, FewerThanTwoArgumentsPrintTheUsageLine) {
  expect_run({}, 1, kUsage);
  expect_run({"r"}, 1, kUsage);
  expect_run({"w"}, 1, kUsage);
  expect_run({"chan0"}, 1, kUsage);
}

TEST(ChanpipeUsage, ModeOtherThanROrWPrintsTheUsageLine) {
  // Whole, case-sensitive comparisons: no lookup is made for any of these.
  for (const char* mode : {"R", "W", "rw", "read", "", "r ", " w", "-r"}) {
    expect_run({mode, "chan0"}, 1, kUsage);
  }
}

TEST(ChanpipeNotFound, UnknownChannelInEitherModeExitsWithStatus2) {
  expect_run({"r", "chan0"}, 2, not_found("chan0"));
  expect_run({"w", "chan0"}, 2, not_found("chan0"));
}

TEST(ChanpipeNotFound, ThirdArgumentIsIgnored) {
  expect_run({"r", "chan0", "extra"}, 2, not_found("chan0"));
  expect_run({"w", "chan0", "extra", "more"}, 2, not_found("chan0"));
}

TEST(ChanpipeNotFound, ChannelNameIsPrintedAsTheArgumentGivesIt) {
  expect_run({"r", "two words"}, 2, not_found("two words"));
  // A name is data, never a format.
  expect_run({"w", "%s%n%d"}, 2, not_found("%s%n%d"));
  expect_run({"r", ""}, 2, not_found(""));
  expect_run({"w", "quote\"and\\back\\\\"}, 2, not_found("quote\"and\\back\\\\"));
  std::string long_name(600, 'n');
  expect_run({"r", long_name}, 2, not_found(long_name));
}

TEST(ChanpipeNotFound, EightBitChannelNamePassesUnchanged) {
  // "\u00e9t\u00e9 \u00c5" in the ANSI code page, as the argument vector
  // delivers 8-bit names.
  const wchar_t wide[] = L"\u00e9t\u00e9 \u00c5";
  char bytes[32] = {};
  BOOL lossy = FALSE;
  int size = WideCharToMultiByte(CP_ACP, 0, wide, -1, bytes, sizeof bytes, nullptr, &lossy);
  ASSERT_GT(size, 1);
  ASSERT_FALSE(lossy) << "code page " << GetACP() << " has no such letters";
  std::string name(bytes);
  ASSERT_TRUE(static_cast<unsigned char>(name[0]) >= 0x80) << "not an 8-bit name";
  expect_run({"w", name}, 2, not_found(name));
}

TEST(ChanpipeExe, CarriesAnAsInvokerManifest) {
  HMODULE image = LoadLibraryExA(g_chanpipe.c_str(), nullptr, LOAD_LIBRARY_AS_DATAFILE);
  ASSERT_NE(image, nullptr) << GetLastError();
  HRSRC resource = FindResourceA(image, MAKEINTRESOURCEA(1), MAKEINTRESOURCEA(24));
  ASSERT_NE(resource, nullptr) << "no manifest resource";
  const char* text = static_cast<const char*>(LockResource(LoadResource(image, resource)));
  std::string manifest(text, SizeofResource(image, resource));
  FreeLibrary(image);
  EXPECT_NE(manifest.find("<requestedExecutionLevel level=\"asInvoker\" uiAccess=\"false\"/>"),
            std::string::npos)
      << manifest;
}

}  // namespace

int main(int argc, char** argv) {
  for (int i = 1; i < argc; ++i) {
    if (std::strncmp(argv[i], "--chanpipe=", 11) == 0) g_chanpipe = argv[i] + 11;
  }
  if (g_chanpipe.empty()) {
    std::fprintf(stderr, "usage: chanpipe_tests --chanpipe=PATH [gtest options]\n");
    return 2;
  }
  return chanpipe_test::run_tests(argc, argv);
}
