#include "discovery/find_port.h"

#include <gtest/gtest.h>

#include <string>
#include <vector>

#include "tests/fake_platform.h"

namespace chanpipe {
namespace {

using fake::FakePlatform;
using fake::Op;

std::u16string path_of(const char16_t (&path)[kPathUnits]) { return std::u16string(path); }

std::string not_found(const std::string& name) {
  return name + " not found\nTurn UAC off and make sure that " + name +
         " is defined in the VM config.\n";
}

class FindPortTest : public ::testing::Test {
 protected:
  void TearDown() override {
    EXPECT_TRUE(fake.all_released())
        << "sets " << fake.sets_created << "/" << fake.sets_destroyed << ", details "
        << fake.details_taken << "/" << fake.details_released << ", probes " << fake.probes_opened
        << "/" << fake.probes_closed << ", bad releases " << fake.bad_releases << ", bad handles "
        << fake.bad_handles;
    EXPECT_EQ(fake.data_opened, 0) << "the lookup only probes";
  }

  int find(const char* name) {
    for (auto& unit : path) unit = u'#';
    return find_port(fake, name, path);
  }

  FakePlatform fake;
  char16_t path[kPathUnits];
};

TEST_F(FindPortTest, NoPortsEndsTheWalkAtOnceWithTheNotFoundLines) {
  EXPECT_EQ(find("chan0"), 0);
  EXPECT_EQ(fake.err(), not_found("chan0"));
  std::vector<std::string> expected = {
      "SetupDiGetClassDevs(ports, 12)",
      "SetupDiEnumDeviceInterfaces(0, cb " + std::to_string(sizeof(InterfaceData)) + ")",
      "SetupDiDestroyDeviceInfoList()"};
  EXPECT_EQ(fake.call_texts(), expected);
  EXPECT_EQ(path[0], u'#') << "the caller's buffer is written only on success";
}

TEST_F(FindPortTest, ProbesEachPortInOrderAndStopsAtTheFirstMatch) {
  fake.add_port("alpha");
  fake.add_port("chan0");
  fake.add_port("chan0");
  ASSERT_EQ(find("chan0"), 1);
  EXPECT_EQ(path_of(path), u"\\\\?\\port#1");
  EXPECT_EQ(fake.err(), "");

  const std::string cb = std::to_string(sizeof(InterfaceData));
  const std::string declared = std::to_string(kDetailDeclaredSize);
  const std::string detail = std::to_string(kDetailPathOffset + 2 * 11);
  std::vector<std::string> expected = {"SetupDiGetClassDevs(ports, 12)"};
  for (int i = 0; i < 2; ++i) {
    std::string port = "\\\\?\\port#" + std::to_string(i);
    std::vector<std::string> one = {
        "SetupDiEnumDeviceInterfaces(" + std::to_string(i) + ", cb " + cb + ")",
        "SetupDiGetDeviceInterfaceDetail(size 0)",
        "HeapAlloc(" + detail + ")",
        "SetupDiGetDeviceInterfaceDetail(cb " + declared + ", size " + detail + ")",
        "HeapFree()",
        "CreateFile(" + port + ", 80000000, 0, 3, 80)",
        "DeviceIoControl(222000, 512)",
        "CloseHandle()"};
    expected.insert(expected.end(), one.begin(), one.end());
  }
  expected.push_back("SetupDiDestroyDeviceInfoList()");
  EXPECT_EQ(fake.call_texts(), expected) << "the third port is never opened";
}

TEST_F(FindPortTest, NamesMatchOnlyByteForByte) {
  fake.add_port("Chan0");
  fake.add_port("chan01");
  fake.add_port("chan");
  fake.add_port(" chan0");
  fake.add_port("");
  fake.add_port("\xe9t\xe9");
  fake.add_port("chan0");
  struct Case {
    const char* name;
    int found;
    const char16_t* path;
  } cases[] = {
      {"chan0", 1, u"\\\\?\\port#6"}, {"CHAN0", 0, nullptr},
      {"chan", 1, u"\\\\?\\port#2"},  {"cha", 0, nullptr},
      {"", 1, u"\\\\?\\port#4"},      {"\xe9t\xe9", 1, u"\\\\?\\port#5"},
      {"\xc9T\xc9", 0, nullptr},      {"chan0 ", 0, nullptr},
      {"chan01x", 0, nullptr},
  };
  for (const Case& c : cases) {
    FakePlatform one;
    for (std::size_t i = 0; i < 7; ++i) one.add_port_raw(fake.port(i).path, fake.port(i).record);
    char16_t found_path[kPathUnits] = {};
    EXPECT_EQ(find_port(one, c.name, found_path), c.found) << "'" << c.name << "'";
    if (c.found) {
      EXPECT_EQ(std::u16string(found_path), c.path) << "'" << c.name << "'";
    }
    EXPECT_EQ(one.err(), c.found ? "" : not_found(c.name));
    EXPECT_TRUE(one.all_released());
  }
}

TEST_F(FindPortTest, RecordsWithoutANulOrWithAShortReplyStayInBounds) {
  // 505 name bytes and no NUL: names nothing, even a channel of those bytes.
  std::string long_name(kPortInfoSize - kPortNameOffset, 'n');
  fake.add_port_raw(u"p-full", std::string(kPortNameOffset, 'x') + long_name);
  // Fewer than 8 bytes: the name is empty.
  fake.add_port_raw(u"p-short", "abc");
  EXPECT_EQ(find(long_name.c_str()), 0);
  EXPECT_EQ(find(long_name.substr(0, 504).c_str()), 0);
  EXPECT_EQ(find(""), 1);
  EXPECT_EQ(path_of(path), u"p-short");
}

TEST_F(FindPortTest, AFailedRequestLeavesNoNameForTheNextPort) {
  // The first port writes its name and then fails; the second answers with
  // nothing. The second must not seem to carry the first one's name.
  fake.add_port("chan0");
  fake.port(0).io_error_after_write = 234;
  fake.add_port_raw(u"p-empty", "");
  EXPECT_EQ(find("chan0"), 0);
  EXPECT_EQ(fake.err(), "DeviceIoControl Error 234\n" + not_found("chan0"));
}

TEST_F(FindPortTest, EachFailingInterfaceIsReportedAndSkipped) {
  fake.add_port("chan0");  // fetch fails
  fake.add_port("chan0");  // probe open fails
  fake.add_port("chan0");  // request fails, with the top bit set
  fake.add_port("chan0");
  fake.fail_nth(Op::kDetailFetch, 0, 13);
  fake.fail_nth(Op::kCreateFile, 0, 5);
  fake.fail_nth(Op::kIoControl, 0, 0x80000005u);
  ASSERT_EQ(find("chan0"), 1);
  EXPECT_EQ(path_of(path), u"\\\\?\\port#3");
  EXPECT_EQ(fake.err(),
            "SetupDiGetDeviceInterfaceDetail Error 13\n"
            "CreateFile error 5\n"
            "DeviceIoControl Error -2147483643\n");
}

TEST_F(FindPortTest, TheProbeIsClosedBeforeTheFailedRequestIsReported) {
  fake.add_port("chan0");
  fake.fail_nth(Op::kIoControl, 0, 31);
  EXPECT_EQ(find("chan0"), 0);
  std::vector<Op> order;
  for (const auto& call : fake.log()) {
    if (call.op == Op::kIoControl || call.op == Op::kCloseHandle || call.op == Op::kPrint) {
      order.push_back(call.op);
    }
  }
  ASSERT_GE(order.size(), 3u);
  EXPECT_EQ(order[0], Op::kIoControl);
  EXPECT_EQ(order[1], Op::kCloseHandle);
  EXPECT_EQ(order[2], Op::kPrint);
  EXPECT_EQ(fake.err(), "DeviceIoControl Error 31\n" + not_found("chan0"));
}

TEST_F(FindPortTest, TheOnlyMatchingPortFailingItsProbeMeansNotFound) {
  fake.add_port("chan0");
  fake.fail_nth(Op::kCreateFile, 0, 32);
  EXPECT_EQ(find("chan0"), 0);
  EXPECT_EQ(fake.err(), "CreateFile error 32\n" + not_found("chan0"));
}

TEST_F(FindPortTest, ASetThatCannotBeCreatedIsReportedWithoutALineEnd) {
  fake.add_port("chan0");
  fake.set_creation_fails = true;
  fake.set_error = 0xe000020bu;
  EXPECT_EQ(find("chan0"), 0);
  EXPECT_EQ(fake.err(), "SetupDiGetClassDevs Error -536870389");
  EXPECT_EQ(fake.count(Op::kDestroySet), 0u) << "there is no set to release";
}

TEST_F(FindPortTest, DetailRecordsTooSmallOrUnavailableSkipTheInterface) {
  fake.add_port("chan0");
  fake.port(0).reported_detail_size = kDetailDeclaredSize - 1;
  fake.add_port("chan0");
  fake.port(1).reported_detail_size = kDetailPathOffset + 4;  // holds 2 of 10 units
  fake.add_port("chan0");
  EXPECT_EQ(find("chan0"), 1);
  EXPECT_EQ(path_of(path), u"\\\\?\\port#2");
  // 122 is the size query's own reason; nothing is allocated for the first.
  EXPECT_EQ(fake.err(),
            "SetupDiGetDeviceInterfaceDetail Error 122\n"
            "SetupDiGetDeviceInterfaceDetail Error 122\n");
  EXPECT_EQ(fake.details_taken, 2);

  FakePlatform exhausted;
  exhausted.add_port("chan0");
  exhausted.heap_exhausted = true;
  char16_t other[kPathUnits];
  EXPECT_EQ(find_port(exhausted, "chan0", other), 0);
  EXPECT_EQ(exhausted.err(), "SetupDiGetDeviceInterfaceDetail Error 8\n" + not_found("chan0"));
}

TEST_F(FindPortTest, LongDevicePathsAreCutTo259Units) {
  std::u16string long_path(300, u'a');
  for (std::size_t i = 0; i < long_path.size(); ++i) long_path[i] = u'a' + i % 26;
  std::u16string exact(259, u'e');
  fake.add_port_raw(long_path, FakePlatform::record_for("long"));
  fake.add_port_raw(exact, FakePlatform::record_for("exact"));
  ASSERT_EQ(find("long"), 1);
  EXPECT_EQ(path_of(path), long_path.substr(0, 259));
  ASSERT_EQ(find("exact"), 1);
  EXPECT_EQ(path_of(path), exact);
  std::string opened;
  for (const auto& text : fake.call_texts()) {
    if (text.rfind("CreateFile(", 0) == 0) opened = text;
  }
  EXPECT_EQ(opened, "CreateFile(" + std::string(259, 'e') + ", 80000000, 0, 3, 80)");
}

TEST_F(FindPortTest, APathWithoutANulIsReadOnlyWithinItsRecord) {
  // Short and long records whose path runs to the record's end: the copy
  // stops there (ASan watches the block) or at 259 units.
  fake.add_port_raw(u"short", FakePlatform::record_for("a"));
  fake.port(0).path_without_nul = true;
  fake.add_port_raw(std::u16string(400, u'z'), FakePlatform::record_for("b"));
  fake.port(1).path_without_nul = true;
  fake.port(1).reported_detail_size = kDetailPathOffset + 2 * 401 + 1;
  fake.add_port_raw(std::u16string(259, u'z'), FakePlatform::record_for("c"));
  ASSERT_EQ(find("b"), 1);
  EXPECT_EQ(path_of(path), std::u16string(259, u'z'));
  EXPECT_EQ(fake.err(), "CreateFile error 2\n");
}

}  // namespace
}  // namespace chanpipe
