// archive_test.cpp - the operations that change an archive, end to end:
// appending at every record layout, creating, updating, deleting; GNU tar
// and Python read what is left. (Replacing: interop and threads tests.)
#include <gtest/gtest.h>
#include <utime.h>

#include <ctime>

#include "testkit/testkit.h"

namespace {

using Members = std::vector<std::pair<std::string, std::string>>;
const std::string kG1 = tk::pattern_bytes(700, 2), kG2 = tk::pattern_bytes(3000, 3), kNew = tk::pattern_bytes(1000, 4);

// New members start on the old end marker: in GNU tar's archives of every
// blocking factor around 32 (g1 and g2 fill 9 blocks), and in the library's
// own of 3 to 64 blocks, ending just before, on or after a record boundary.
TEST(Append, StartsOnTheEndMarkerOfEveryRecordLayout) {
    for (int b : {1, 20, 31, 32, 33, 64, -3, -31, -32, -33, -64}) {   // negative: the library's, -b blocks
        tk::TempCwd t;
        Members want = {{"g1", kG1}, {"g2", kG2}};
        if (b > 0) {
            tk::write_file("g1", kG1), tk::write_file("g2", kG2);
            ASSERT_EQ(0, tk::sh("tar -b " + std::to_string(b) + " -cf a.tar g1 g2"));
        } else {
            want = {{"m1", tk::pattern_bytes((-b - 2) * 512, 5)}};
            ASSERT_EQ(0, tk::put("-ARCHIVE a.tar -MEMBER m1 -c", want[0].second));
            ASSERT_EQ(-b * 512u, tk::read_file("a.tar").size());
        }
        std::string old = tk::read_file("a.tar");
        size_t kept = (b > 0 ? 9 : -b - 1) * 512u;
        for (const auto &m : Members{{"new", kNew}, {"tail", "tail"}}) {
            ASSERT_EQ(0, tk::put("-ARCHIVE a.tar -MEMBER " + m.first + " -a", m.second)) << b;
            want.push_back(m);
        }
        EXPECT_TRUE(old.substr(0, kept) == tk::read_file("a.tar").substr(0, kept)) << b;
        tk::expect_members("a.tar", want);
    }
}

TEST(Append, MissingArchiveIsCreatedAndCreateEmptiesAnExistingOne) {
    for (const char *op : {"-a", "-c"}) {
        tk::TempCwd t;
        if (std::string(op) == "-c") tk::write_file("a.tar", tk::archive({{.name = "old", .data = kG2}}));
        ASSERT_EQ(0, tk::put(std::string("-ARCHIVE a.tar -MEMBER fresh ") + op, kNew.substr(0, 100)));
        EXPECT_EQ(1536u, tk::read_file("a.tar").size());  // header, one data block, one end block
        tk::expect_members("a.tar", {{"fresh", kNew.substr(0, 100)}});
    }
}

// The archive holds m at `archived` (relative to the local data's time) and
// an older copy behind it: the newest archived time decides.
TEST(Update, StoresOnlyWhatIsNewerThanTheArchivedCopy) {
    struct { const char *op; bool file; long archived; bool stored; } cases[] = {
        {"-a -u", false, 100000, false}, {"-a -u", false, -100000, true},  {"-a -u", true, 0, false},
        {"-a -u", true, 10, false},      {"-a -u", true, -10, true},       {"-d -a -u", false, 100000, false},
        {"-d -a -u", false, -100000, true}, {"-d -a -u", true, 10, false}, {"-d -a -u", true, -10, true},
    };
    for (const auto &c : cases) {
        tk::TempCwd t;
        time_t now = time(nullptr);
        bool replace = std::string(c.op) == "-d -a -u";
        std::vector<tk::Member> archived = {{.name = "m", .data = "old", .mtime = now + c.archived}};
        if (!replace) archived.push_back({.name = "m", .data = "older", .mtime = now - 200000});
        tk::write_file("a.tar", tk::archive(archived));
        tk::write_file("m", "new");
        struct utimbuf times = {now, now};
        utime("m", &times);
        std::string line = std::string("-ARCHIVE a.tar -MEMBER m ") + c.op + (c.file ? " -FILE m" : "");
        ASSERT_EQ(0, tk::put(line, "new")) << line;
        std::vector<tk::Seen> seen = tk::python("a.tar");
        ASSERT_EQ((replace ? 1u : 2u) + (c.stored && !replace), seen.size()) << line << " " << c.archived;
        EXPECT_EQ(c.stored ? "new" : replace ? "old" : "older", seen.back().data) << line << " " << c.archived;
    }
}

// Replace drops an archived copy only when a local file of the member's own
// name exists; otherwise it keeps it and says so, in memory and file mode.
TEST(Replace, DecidesByALocalFileOfTheMembersName) {
    for (bool file : {false, true}) {
        for (bool local : {false, true}) {
            tk::TempCwd t;
            tk::write_file("a.tar", tk::archive({{.name = "m.txt", .data = "old"}, {.name = "o.txt", .data = "other"}}));
            tk::write_file("data.bin", "new");
            if (local) tk::write_file("m.txt", "on disk");
            std::string line = std::string("-ARCHIVE a.tar -MEMBER m.txt -d -a -T t.log") + (file ? " -FILE data.bin" : "");
            ASSERT_EQ(0, tk::put(line, "new")) << line;
            Members want = {{"o.txt", "other"}, {"m.txt", "new"}};
            if (!local) want.insert(want.begin(), {"m.txt", "old"});
            tk::expect_members("a.tar", want);
            EXPECT_EQ(!local, tk::read_file("t.log").find("\n\ncan't access 'm.txt'\n\n") != std::string::npos) << line;
        }
    }
}

// A type 'S' member has exactly its size's data blocks, whatever byte 482
// says; an end marker with members behind it stops delete and append.
TEST(Delete, SparseTypeAndWhatLiesBehindTheEndMarker) {
    tk::TempCwd t;
    std::string s = tk::blocks({.name = "s", .data = tk::pattern_bytes(700), .type = 'S'}, 482, "\1");
    tk::write_file("a.tar", s + tk::archive({{.name = "a", .data = kG1}, {.name = "b", .data = kG2}}));
    tk::Call get("-ARCHIVE a.tar -MEMBER b -x");
    EXPECT_EQ("0 GetArchive_succeeded", get.got());
    EXPECT_TRUE(get.out() == kG2);
    ASSERT_EQ(0, tk::Call("-ARCHIVE a.tar -MEMBER s -d").get());
    tk::expect_members("a.tar", {{"a", kG1}, {"b", kG2}});
    std::string lost = tk::archive({{.name = "a", .data = kG1}}, 1) + tk::archive({{.name = "b", .data = kG2}});
    tk::write_file("a.tar", lost);
    tk::Call del("-ARCHIVE a.tar -MEMBER a -d"), add("-ARCHIVE a.tar -MEMBER n -a");
    EXPECT_EQ("-1 Unable_to_read_archive", del.got());
    EXPECT_EQ(-1, add.put("n"));
    EXPECT_EQ("Unable_to_read_archive", add.message());
    EXPECT_TRUE(lost == tk::read_file("a.tar"));
}

// A deleted member's blocks go, with the links that name it; what is kept
// (across GNU tar's 20-block records too) is copied byte for byte.
TEST(Delete, LeavesTheRestAsGnuTarReadsIt) {
    struct { std::string make, member; std::vector<std::string> kept, entries; size_t blocks; } cases[] = {
        {"printf data >only && tar --format=ustar -cf ../x.tar only", "only", {},
         {"Deleting 'only' (4 bytes, 1 tape blocks) from archive"}, 1},
        {"echo one >a && echo two >b && ln a hard && ln -s a sym && tar --format=gnu -cf ../x.tar a hard sym b", "a",
         {"b"}, {"Deleting 'a' (4 bytes, 1 tape blocks) from archive",
                 "Deleting 'hard' (0 bytes, 0 tape blocks) from archive",
                 "Deleting 'sym' (0 bytes, 0 tape blocks) from archive"}, 3},
        {"for i in 1 2 3; do head -c 10000 /dev/urandom >f$i; done && tar --format=ustar -cf ../x.tar f1 f2 f3", "f2",
         {"f1", "f3"}, {"Deleting 'f2' (10000 bytes, 20 tape blocks) from archive"}, 43},
    };
    for (const auto &c : cases) {
        tk::TempCwd t;
        ASSERT_EQ(0, tk::sh("mkdir s && cd s && " + c.make));
        tk::Call call("-ARCHIVE x.tar -MEMBER " + c.member + " -d -T s/t.log");
        ASSERT_EQ(0, call.get());
        EXPECT_EQ("GetArchive_succeeded", call.message());
        for (const auto &e : c.entries) EXPECT_NE(std::string::npos, tk::read_file("s/t.log").find("\n\n" + e + "\n\n"));
        EXPECT_EQ((std::vector<std::string>{"s", "x.tar"}), tk::list_dir("."));   // no scratch file left
        EXPECT_EQ(c.blocks * 512, tk::read_file("x.tar").size());
        std::string names, bytes;
        for (const auto &k : c.kept) names += k + "\n", bytes += tk::read_file("s/" + k);
        EXPECT_EQ(names, tk::gnu("tf x.tar"));
        EXPECT_TRUE(bytes == tk::gnu("xOf x.tar")) << c.member;
    }
}

}  // namespace
