// append_test.cpp - adding members through the put entry point: appending to
// archives of GNU tar and of the library at every record layout, creating,
// replacing through the scratch file in memory and file mode, and updating.
#include <gtest/gtest.h>
#include <utime.h>

#include <ctime>

#include "tar/readers.h"

namespace {

int put(const std::string &line, const std::string &data = "", std::string *msg = nullptr) {
    tk::Call c(line);
    int rc = c.put(data);
    if (msg) *msg = c.message();
    return rc;
}

const std::string kG1 = tk::pattern_bytes(700, 2), kG2 = tk::pattern_bytes(3000, 3), kNew = tk::pattern_bytes(1000, 4);

TEST(Append, ToGnuTarArchivesOfEveryRecordSize) {
    for (int b : {1, 20, 31, 32, 33, 64}) {
        tk::TempDir d;
        tk::Chdir cd(d.path());
        tk::write_file("g1", kG1);
        tk::write_file("g2", kG2);
        ASSERT_EQ(0, tk::sh("tar -b " + std::to_string(b) + " -cf a.tar g1 g2"));
        std::string old = tk::read_file("a.tar");
        ASSERT_EQ(0, put("-ARCHIVE a.tar -MEMBER new -a", kNew)) << b;
        // g1 and g2 fill 9 blocks; the new member starts on the old end marker.
        EXPECT_TRUE(old.substr(0, 9 * 512) == tk::read_file("a.tar").substr(0, 9 * 512)) << b;
        rd::expect_members("a.tar", {{"g1", kG1}, {"g2", kG2}, {"new", kNew}});
    }
}

TEST(Append, ToLibraryArchivesEndingAroundARecord) {
    for (size_t blocks : {3u, 31u, 32u, 33u, 64u}) {
        tk::TempDir d;
        tk::Chdir cd(d.path());
        std::string m1 = tk::pattern_bytes((blocks - 2) * 512, 5), m3 = "tail";
        ASSERT_EQ(0, put("-ARCHIVE a.tar -MEMBER m1 -c", m1));
        ASSERT_EQ(blocks * 512, tk::read_file("a.tar").size());
        ASSERT_EQ(0, put("-ARCHIVE a.tar -MEMBER m2 -a", kNew)) << blocks;
        ASSERT_EQ(0, put("-ARCHIVE a.tar -MEMBER m3 -a", m3)) << blocks;
        rd::expect_members("a.tar", {{"m1", m1}, {"m2", kNew}, {"m3", m3}});
    }
}

TEST(Append, MissingArchiveIsCreatedAndCreateEmptiesAnExistingOne) {
    for (const char *op : {"-a", "-c"}) {
        tk::TempDir d;
        tk::Chdir cd(d.path());
        if (std::string(op) == "-c") tk::write_file("a.tar", tk::TarBuilder().file("old", kG2).finish());
        ASSERT_EQ(0, put(std::string("-ARCHIVE a.tar -MEMBER fresh ") + op, kNew.substr(0, 100)));
        EXPECT_EQ(1536u, tk::read_file("a.tar").size());  // header, one data block, one end block
        rd::expect_members("a.tar", {{"fresh", kNew.substr(0, 100)}});
    }
}

// An archive of three members m1, m2, m3 written by the library.
void three_members() {
    ASSERT_EQ(0, put("-ARCHIVE a.tar -MEMBER m1 -c", kG1));
    ASSERT_EQ(0, put("-ARCHIVE a.tar -MEMBER m2 -a", kG2));
    ASSERT_EQ(0, put("-ARCHIVE a.tar -MEMBER m3 -a", "three"));
}

TEST(Replace, MovesTheMemberToTheEndInMemoryAndFileMode) {
    for (bool file : {false, true}) {
        tk::TempDir d;
        tk::Chdir cd(d.path());
        three_members();
        tk::write_file("local", kNew);
        ASSERT_EQ(0, put(std::string("-ARCHIVE a.tar -MEMBER m2 -d -a") + (file ? " -FILE local" : ""), kNew));
        EXPECT_EQ((std::vector<std::string>{"a.tar", "local"}), tk::list_dir("."));  // no scratch file left
        rd::expect_members("a.tar", {{"m1", kG1}, {"m3", "three"}, {"m2", kNew}});
    }
}

TEST(Replace, MissingLocalFileKeepsTheArchiveAsItWas) {
    tk::TempDir d;
    tk::Chdir cd(d.path());
    three_members();
    std::string old = tk::read_file("a.tar"), msg;
    // The failed store fails the run with its own text; the scratch copy goes.
    EXPECT_EQ(-1, put("-ARCHIVE a.tar -MEMBER m2 -d -a -FILE nowhere -T t.log", "", &msg));
    EXPECT_EQ("'nowhere' not found", msg);
    EXPECT_TRUE(old == tk::read_file("a.tar")) << msg;
    EXPECT_EQ((std::vector<std::string>{"a.tar", "t.log"}), tk::list_dir("."));
}

struct UpdateCase {
    const char *op;
    bool file;
    long archived;  // the archived copy's time, relative to the local data
    bool stored;
};

TEST(Update, StoresOnlyWhatIsNewerThanTheArchivedCopy) {
    const UpdateCase cases[] = {
        {"-a -u", false, 100000, false}, {"-a -u", false, -100000, true},  {"-a -u", true, 0, false},
        {"-a -u", true, 10, false},      {"-a -u", true, -10, true},       {"-d -a -u", false, 100000, false},
        {"-d -a -u", false, -100000, true}, {"-d -a -u", true, 10, false}, {"-d -a -u", true, -10, true},
    };
    for (const auto &c : cases) {
        tk::TempDir d;
        tk::Chdir cd(d.path());
        time_t now = time(nullptr);
        tk::Member m;
        m.name = "m";
        m.data = "old";
        m.mtime = now + c.archived;
        tk::write_file("a.tar", tk::TarBuilder().add(m).finish());
        tk::write_file("m", "new");
        struct utimbuf times = {now, now};
        utime("m", &times);
        std::string line = std::string("-ARCHIVE a.tar -MEMBER m ") + c.op + (c.file ? " -FILE m" : "");
        ASSERT_EQ(0, put(line, "new")) << line;
        std::vector<rd::Seen> seen = rd::python("a.tar");
        bool replace = std::string(c.op) == "-d -a -u";
        ASSERT_EQ(c.stored && !replace ? 2u : 1u, seen.size()) << line << " " << c.archived;
        EXPECT_EQ(c.stored ? "new" : "old", seen.back().data) << line << " " << c.archived;
    }
}

TEST(Limits, TooLargeFileLeavesAnAppendedArchiveAlone) {
    tk::TempDir d;
    tk::Chdir cd(d.path());
    three_members();
    std::string old = tk::read_file("a.tar"), msg;
    ASSERT_EQ(0, tk::sh("truncate -s 8G big"));  // sparse: no disk is used
    EXPECT_EQ(-1, put("-ARCHIVE a.tar -MEMBER big -a -FILE big", "", &msg));
    EXPECT_EQ("'big' too large to archive (8589934592 bytes)", msg);
    EXPECT_TRUE(old == tk::read_file("a.tar"));
}

}  // namespace
