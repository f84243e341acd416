// log_test.cpp - the trace file's exact bytes for entries and dumps, gating by
// level and severity, the init/open/close states, the name limit, and the
// elapsed-time split. The log is process-wide: every test starts it afresh.
#include <gtest/gtest.h>

#include <regex>
#include <string>

#include "support/orv.h"
#include "tests/testkit/testkit.h"

namespace {

const std::string kDate = R"(\d\d/\d\d/\d{4}  \d\d:\d\d:\d\d)";

class Log : public ::testing::Test {
protected:
    void SetUp() override { start(1, 0); }
    void TearDown() override { OrvLogClose(); }
    // Restarts the log on the test's file with a mode and level 9.
    void start(int truncate, int mode) {
        OrvLogClose();
        OrvLogInit();
        OrvLogSetLevel(9);
        OrvLogSetMode(mode);
        ASSERT_EQ(OrvLogOpen(path.c_str(), truncate), 1);
    }
    std::string text() { return tk::read_file(path); }
    tk::TempDir dir;
    std::string path = dir / "trace.log";
};

TEST_F(Log, EntryBytes) {
    OrvLogEntry("dir/sub/tape", 201, 1, "talign", "%s", "abc");
    OrvLogEntry("dir/", 7, 5, "f", "x%d", 2);
    OrvLogSetMode(4);
    OrvLogEntry("z9tar", 3, 2, "g", "y");
    EXPECT_TRUE(std::regex_match(text(), std::regex("Sev:1  " + kDate + "  tape  talign  201\nabc\n\n"
        "Sev:5  " + kDate + "    f  7\nx2\n\nThread: 0x00000000  Sev:2  " + kDate + "  z9tar  g  3\ny\n\n")));
    start(1, 2);
    OrvLogEntry("tape", 1, 1, "f", "abc");
    OrvLogEntry("m", 1, 1, "f", "%s", std::string(600, 'q').c_str());  // cut to 509
    EXPECT_EQ(text(), "abc\n\n" + std::string(509, 'q') + "\n\n");
}

TEST_F(Log, LevelAndSeverityGate) {
    struct { int level, severity; bool written; } cases[] = {
        {5, 0, false}, {9, -1, false}, {5, 6, false}, {9, 6, true}, {5, 5, true}, {1, 1, true},
    };
    for (auto c : cases) {
        start(1, 2);
        OrvLogSetLevel(c.level);
        OrvLogEntry("m", 1, c.severity, "f", "e");
        OrvLogDumpBin("m", 1, c.severity, "f", "0123456789", 10);
        EXPECT_EQ(!text().empty(), c.written) << c.level << " " << c.severity;
    }
    EXPECT_EQ(OrvLogSetLevel(0), -1);
    EXPECT_EQ(OrvLogSetLevel(10), -1);
    EXPECT_EQ(OrvLogSetLevel(5), 1);
    EXPECT_EQ(OrvLogSetLevel(9), 5);
}

TEST_F(Log, StatesAndTheNameLimit) {
    EXPECT_EQ(OrvLogOpen(path.c_str(), 1), 0);  // second open: the first file stays
    OrvLogClose();
    EXPECT_EQ(OrvLogSetMode(2), -1);
    EXPECT_EQ(OrvLogSetLevel(5), -1);
    EXPECT_EQ(OrvLogOpen(path.c_str(), 1), 0);  // not initialised
    OrvLogInit();
    std::string name = dir / "";
    name += std::string(127 - name.size(), 'n');
    EXPECT_EQ(OrvLogOpen((name + "x").c_str(), 1), 0);  // 128: refused, still initialised
    EXPECT_EQ(OrvLogSetMode(2), 0);
    OrvLogEntry("m", 1, 1, "f", "dropped");
    EXPECT_EQ(OrvLogOpen(name.c_str(), 1), 1);
    OrvLogEntry("m", 1, 1, "f", "kept");
    EXPECT_EQ(tk::read_file(name) + text(), "kept\n\n");
    OrvLogClose();
    OrvLogInit();
    EXPECT_EQ(OrvLogOpen((dir / "no/such").c_str(), 1), 0);  // a failed open uninitialises
    EXPECT_EQ(OrvLogSetMode(2), -1);
}

TEST_F(Log, TruncateOrAppend) {
    OrvLogSetMode(2);
    OrvLogEntry("m", 1, 1, "f", "one");
    start(0, 2);
    OrvLogEntry("m", 1, 1, "f", "two");
    EXPECT_EQ(text(), "one\n\ntwo\n\n");
    start(1, 2);
    EXPECT_EQ(text(), "");
}

TEST_F(Log, DumpLines) {
    const std::string line1 = "0x00000000: 0x41 0x42 0x43 0x44 0x45 0x46 0x47 0x48 0x20 0x01 ABCDEFGH .\n";
    OrvLogDumpBin("m", 1, 1, "f", "", 0);
    EXPECT_TRUE(std::regex_match(text(), std::regex("Sev:1  " + kDate + "  m  f  1\n")));
    start(1, 2);
    OrvLogDumpBin("m", 1, 1, "f", "", 0);
    OrvLogDumpBin("m", 1, 1, "f", "ABCDEFGH \x01", 10);
    OrvLogDumpBin("m", 1, 1, "f", "ABCDEFGH \x01\xff", 11);
    EXPECT_EQ(text(), line1 + line1 + "0x0000000A: 0xFF " + std::string(45, ' ') + "." +
                          std::string(9, ' ') + "\n\n");
}

TEST(TimeDiff, SplitsIntoHoursMinutesSeconds) {
    struct { time_t diff; int hms; } cases[] = {
        {59, 59}, {60, 100}, {3725, 10205}, {90000, 250000}, {-75, -75},
    };
    for (auto c : cases) {
        int h = -1, m = -1, s = -1;
        TimeDiffHMS(1000, 1000 + c.diff, &h, &m, &s);
        EXPECT_EQ(h * 10000 + m * 100 + s, c.hms) << c.diff;
    }
}

}  // namespace
