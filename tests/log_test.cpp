// The trace log: entry shape, header, and the guard that keeps a reader
// without a usable log working exactly as one with it.
#include <regex>

#include "reader_fixture.h"

TEST(LogHeader, TimeLineThenThreadAndProcess)
{
    std::string header = GetLogHeader();
    EXPECT_TRUE(std::regex_match(
        header, std::regex("Time: [A-Z][a-z]{2} [A-Z][a-z]{2} [ 0-9][0-9] [0-9]{2}:[0-9]{2}:"
                           "[0-9]{2} [0-9]{4}\n  Thread id: [0-9]+   Process id: [0-9]+")))
        << header;
    EXPECT_NE(header.find("   Process id: " + std::to_string(getpid())), std::string::npos);
}

TEST_F(ReaderTest, EntriesStartWithAnEmptyLineAndCarryValuesByteForByte)
{
    tree.ClassDevice("c", "devices/virtual/c/dev", false)
        .File("devices/virtual/c/dev/odd", std::string("tab\there\nnl\0nul\n", 16));
    AttributeMap attrs, device;
    ASSERT_EQ(READER_OK, reader->GetClsDeviceAttr("c", "dev", attrs, device));
    std::string raw = ReadFile(logPath);
    ASSERT_FALSE(raw.empty());
    EXPECT_EQ('\n', raw[0]);
    EXPECT_EQ(std::string("tab\there\nnl\0nul", 15), attrs["odd"]);
    EXPECT_EQ(Trace({"Entering SysfsReader::GetClsDeviceAttr", kMountedEnter, kMountedLeave,
                     "Class device found: dev", "Class Device Attribute",
                     "odd: " + std::string("tab\there\nnl\0nul", 15),
                     "Class Device-Device attributes empty", "Leaving SysfsReader::GetClsDeviceAttr"}),
              TakeLog());
}

TEST_F(ReaderTest, UnusableLogChangesNothingButTheTrace)
{
    tree.ClassDevice("c", "devices/virtual/c/dev", false).File("devices/virtual/c/dev/a", "1\n");
    std::ofstream neverOpened;
    std::ofstream failed(tree.Root() + "/no/such/dir/log");
    std::ofstream closed(tree.Root() + "/closed.log");
    closed.close();
    for (std::ofstream* stream : {static_cast<std::ofstream*>(nullptr), &neverOpened, &failed, &closed}) {
        CSysfsReader quiet(stream);
        DeviceMap list;
        AttributeMap attrs, device;
        EXPECT_EQ(READER_OK, quiet.GetClsDeviceList("c", list));
        EXPECT_EQ(READER_OK, quiet.GetClsDeviceAttr("c", "dev", attrs, device));
        EXPECT_EQ(READER_CLASS_ERROR, quiet.GetClsDeviceList("", list));
        EXPECT_EQ((AttributeMap{{"classname", "c"}, {"path", "/sys/devices/virtual/c/dev"}}),
                  list["dev"]);
        EXPECT_EQ((AttributeMap{{"a", "1"}}), attrs);
    }
    EXPECT_EQ("", ReadFile(tree.Root() + "/closed.log"));

    // A stream whose owner asked for exceptions must not throw through a query.
    unsetenv("UMOCKDEV_DIR");
    std::ofstream throwing("/dev/full");  // every flush fails
    tree.Use();
    ASSERT_TRUE(throwing.is_open());
    throwing.exceptions(std::ios::badbit | std::ios::failbit);
    CSysfsReader reader2(&throwing);
    DeviceMap list;
    EXPECT_EQ(READER_OK, reader2.GetClsDeviceList("c", list));
}

// CHAP secrets reach the caller's maps but never the trace, by whatever
// query they are read; an unset secret ("" or the kernel's "(null)") stays
// visible, as does any other attribute whose name merely looks like one.
TEST_F(ReaderTest, SecretsReachTheMapButNeverTheTrace)
{
    const std::string set = "devices/platform/host1/session1/iscsi_session/session1";
    const std::string unset = "devices/platform/host1/session2/iscsi_session/session2";
    tree.ClassDevice("iscsi_session", set)
        .File(set + "/password", "OutSecret-1\n")
        .File(set + "/password_in", "InSecret-2\n")
        .File(set + "/username", "alice\n")
        .File(set + "/password_old", "visible\n")
        .ClassDevice("iscsi_session", unset)
        .File(unset + "/password", "(null)\n")
        .File(unset + "/password_in", "\n");
    AttributeMap attrs, device;
    ASSERT_EQ(READER_OK, reader->GetClsDeviceAttr("iscsi_session", "session1", attrs, device));
    EXPECT_EQ("OutSecret-1", attrs["password"]);
    EXPECT_EQ("InSecret-2", attrs["password_in"]);
    DeviceMap listed;
    reader->GetDevicePathAttr("/sys/devices/platform/host1/session1/iscsi_session", listed);
    EXPECT_EQ("OutSecret-1", listed["session1"]["password"]);
    attrs.clear();
    ASSERT_EQ(READER_OK, reader->GetClsDeviceAttr("iscsi_session", "session2", attrs, device));

    std::string trace = TakeLog();
    EXPECT_EQ(std::string::npos, trace.find("Secret-")) << trace;
    size_t masked = 0;
    for (size_t at = trace.find("\tpassword: ********\n"); at != std::string::npos;
         at = trace.find("\tpassword: ********\n", at + 1))
        ++masked;
    EXPECT_EQ(2u, masked);  // the class query and the path listing
    EXPECT_NE(std::string::npos, trace.find("\tpassword_in: ********\n"));
    EXPECT_NE(std::string::npos, trace.find("\tusername: alice\n"));
    EXPECT_NE(std::string::npos, trace.find("\tpassword_old: visible\n"));
    EXPECT_NE(std::string::npos, trace.find("\tpassword: (null)\n"));
    EXPECT_NE(std::string::npos, trace.find("\tpassword_in: \n"));
}
