// support_test.cpp - the support library: the doubly linked list at its ends
// and bounds; the token parser's name and value rules; the trace file's exact
// bytes, its gates and states, and the elapsed-time split. The log is
// process-wide: the log test starts it afresh each time.
#include <gtest/gtest.h>

#include <regex>

#include "support/orv.h"
#include "testkit/testkit.h"

namespace {

std::string seen;

// The list as "count:position data...", walked from the head.
std::string walk(OrvList *l) {
    seen.clear();
    int n = OrvList_DoForEach(l, [](void *data, int pos) { seen += std::to_string(pos) + static_cast<char *>(data); });
    return std::to_string(n) + ":" + seen;
}

TEST(List, EndsBoundsAndLinks) {
    char a[] = "a", b[] = "b", c[] = "c";
    EXPECT_EQ(OrvList_GetCount(nullptr), -1);
    OrvList *l = OrvList_CreateList();
    EXPECT_TRUE(!OrvList_RemoveHead(l) && !OrvList_RemoveTail(l) && !OrvList_ViewData(l, 0) && walk(l) == "0:");
    OrvList_AddTail(l, nullptr);  // only the count tells null data from an empty list
    EXPECT_TRUE(!OrvList_RemoveHead(l) && OrvList_GetCount(l) == 0);
    OrvList_AddHead(l, a);
    EXPECT_EQ(OrvList_AddHead(l, b), 2);
    EXPECT_EQ(walk(l), "2:0b1a");
    EXPECT_EQ(OrvList_RemoveTail(l), a);
    EXPECT_TRUE(l->head == l->tail && !l->head->prev && !l->head->next);
    OrvList_AddTail(l, c);
    OrvList_AddHead(l, a);  // a b c
    EXPECT_TRUE(!OrvList_ViewData(l, -1) && !OrvList_ViewData(l, 3) && OrvList_RemoveIndex(l, 1) == b);
    EXPECT_TRUE(l->head->next == l->tail && l->tail->prev == l->head && walk(l) == "2:0a1c");
    OrvList_DestroyList(l);
    for (int how = 0; how < 3; how++) {   // the only node, removed each way, empties both ends
        l = OrvList_CreateList();
        OrvList_AddTail(l, a);
        void *got = how ? how == 1 ? OrvList_RemoveTail(l) : OrvList_RemoveIndex(l, 0) : OrvList_RemoveHead(l);
        EXPECT_TRUE(got == a && !l->head && !l->tail && l->count == 0) << how;
        OrvList_DestroyList(l);
    }
}

const std::string kLong(1000, 'L');
const OrvTokenDef kTable[] = {{"T", 1}, {"TE", 2}, {"X,abc", 3}, {"ABCDEFGHIJKLMNOP", 4}, {kLong.c_str(), 5},
                              {"M,0123456789012345678901234567890123Z", 6}, {"E,", 7}};

TEST(Tokens, ParseTableAndAccessors) {
    const std::string v255(255, 'v');
    struct { std::string line, want; } cases[] = {   // want: count|id:mods:value|...
        {"", "0"}, {"-", "0"}, {"x-T", "1|1:0:"}, {"-T my file -TE", "2|1:0:my file|2:0:"},
        {"-t   a-b \"q\"   -te  ", "2|1:0:a-b \"q\"|2:0:"},
        {"-TEX -T\tx", "0"},                       // no prefix match; a tab is no separator
        {"-TE -5", "1|2:0:"},                      // a dash after a blank ends the value
        {"-Xca -X -Xbb -Xd -Xz", "3|3:5:|3:0:|3:2:"}, {"-ABCDEFGHIJKLMNOP v", "1|4:0:v"},
        {"-ABCDEFGHIJKLMNOP", "0"},                // 16 characters ending the line
        {"-ABCDEFGHIJKLMNOPQ-T", "1|1:0:"},        // scan resumes after the 16 taken
        {"-" + kLong, "0"}, {"-M3 -MZ -E", "1|6:8:"},          // letters past the 32nd, empty lists
        {"-T " + v255 + "-TE z", "2|1:0:" + v255 + "-|2:0:z"}};  // cut at 256, rest scanned
    for (auto &c : cases) {
        OrvList *l = OrvList_CreateList();
        std::string out = std::to_string(OrvTokensParse2(c.line.c_str(), kTable, 7, 0, l));
        for (int p = 0; p < OrvList_GetCount(l); p++) {
            auto *t = static_cast<OrvTokenNode *>(OrvList_ViewData(l, p));
            out += "|" + std::to_string(t->id) + ":" + std::to_string(t->mods) + ":" + t->value;
        }
        EXPECT_EQ(OrvTokensFreeListNodes(l), OrvList_GetCount(l));
        OrvList_DestroyList(l);
        EXPECT_EQ(out, c.want) << c.line;
    }
    OrvList *l = OrvList_CreateList();
    EXPECT_EQ(OrvTokensParse2(nullptr, kTable, 7, 0, l), 0);
    EXPECT_EQ(OrvTokensParse("-TE a -Xb -t x -TE b", kTable, 7, l), 3);   // case counts here
    EXPECT_TRUE(OrvTokensResultContainsFlag(l, 3) == 1 && OrvTokensResultContainsFlag(l, 1) == -1);
    EXPECT_STREQ(OrvTokensGetTokenData(l, 2), "a");  // the first of an id wins
    EXPECT_EQ(OrvTokensGetTokenOptMods(l, 3), 2u);
    int id = 0;
    EXPECT_TRUE(OrvTokensGetTokenDataByIndex(l, 3, &id) == nullptr && id == -1);
    OrvTokensFreeListNodes(l);
    OrvList_DestroyList(l);
}

TEST(Log, EntryAndDumpBytesGatesAndStates) {
    tk::TempDir dir;
    std::string path = dir / "trace.log", kDate = R"(\d\d/\d\d/\d{4}  \d\d:\d\d:\d\d)";
    auto start = [&](int truncate, int mode, int level) {   // the log afresh on the test's file
        OrvLogClose(), OrvLogInit(), OrvLogSetLevel(level), OrvLogSetMode(mode);
        return OrvLogOpen(path.c_str(), truncate);
    };
    ASSERT_EQ(start(1, 0, 9), 1);
    OrvLogEntry("dir/sub/tape", 201, 1, "talign", "%s", "abc");
    OrvLogDumpBin("m", 1, 1, "f", "", 0);
    OrvLogSetMode(4);
    OrvLogEntry("z9tar", 3, 2, "g", "y");
    EXPECT_TRUE(std::regex_match(tk::read_file(path), std::regex("Sev:1  " + kDate + "  tape  talign  201\nabc\n\nSev:1  " +
        kDate + "  m  f  1\nThread: 0x00000000  Sev:2  " + kDate + "  z9tar  g  3\ny\n\n")));
    start(0, 2, 9);   // appended to, without header lines from here on
    OrvLogEntry("m", 1, 1, "f", "%s", std::string(600, 'q').c_str());  // cut to 509
    OrvLogDumpBin("m", 1, 1, "f", "ABCDEFGH \x01\xff", 11);
    EXPECT_EQ(tk::read_file(path).substr(tk::read_file(path).find("\ny\n\n") + 4), std::string(509, 'q') + "\n\n"
              "0x00000000: 0x41 0x42 0x43 0x44 0x45 0x46 0x47 0x48 0x20 0x01 ABCDEFGH .\n"
              "0x0000000A: 0xFF " + std::string(45, ' ') + "." + std::string(9, ' ') + "\n\n");
    struct { int level, severity; bool written; } gates[] = {
        {5, 0, false}, {9, -1, false}, {5, 6, false}, {9, 6, true}, {5, 5, true}, {1, 1, true}};
    for (auto c : gates) {
        start(1, 2, c.level);   // emptied
        OrvLogEntry("m", 1, c.severity, "f", "e");
        OrvLogDumpBin("m", 1, c.severity, "f", "0123456789", 10);
        EXPECT_EQ(!tk::read_file(path).empty(), c.written) << c.level << " " << c.severity;
    }
    EXPECT_TRUE(OrvLogSetLevel(0) == -1 && OrvLogSetLevel(10) == -1 && OrvLogSetLevel(5) == 1 && OrvLogSetLevel(9) == 5);
    EXPECT_EQ(OrvLogOpen(path.c_str(), 1), 0);  // second open: the first file stays
    OrvLogClose();
    EXPECT_TRUE(OrvLogSetMode(2) == -1 && OrvLogSetLevel(5) == -1 && OrvLogOpen(path.c_str(), 1) == 0);
    OrvLogInit();
    std::string name = dir / "";
    name += std::string(127 - name.size(), 'n');
    EXPECT_EQ(OrvLogOpen((name + "x").c_str(), 1), 0);  // 128: refused, still initialised
    EXPECT_EQ(OrvLogSetMode(2), 2);
    OrvLogEntry("m", 1, 1, "f", "dropped");
    EXPECT_EQ(OrvLogOpen(name.c_str(), 1), 1);
    OrvLogEntry("m", 1, 1, "f", "kept");
    EXPECT_EQ(tk::read_file(name), "kept\n\n");
    OrvLogClose();
    OrvLogInit();
    EXPECT_EQ(OrvLogOpen((dir / "no/such").c_str(), 1), 0);  // a failed open uninitialises
    EXPECT_EQ(OrvLogSetMode(2), -1);
}

TEST(Log, TimeDiffSplitsIntoHoursMinutesSeconds) {
    struct { time_t diff; int hms; } cases[] = {{59, 59}, {60, 100}, {3725, 10205}, {90000, 250000}, {-75, -75}};
    for (auto c : cases) {
        int h = -1, m = -1, s = -1;
        TimeDiffHMS(1000, 1000 + c.diff, &h, &m, &s);
        EXPECT_EQ(h * 10000 + m * 100 + s, c.hms) << c.diff;
    }
}

}  // namespace
