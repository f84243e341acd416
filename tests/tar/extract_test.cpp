// extract_test.cpp - what one extraction run makes of each kind of member:
// output naming, several matches, directories, FIFOs, links, devices, refused
// types, owners and times. Every case runs in a scratch directory.
#include <gtest/gtest.h>
#include <sys/stat.h>
#include <sys/sysmacros.h>
#include <unistd.h>
#include <utime.h>

#include "testkit/testkit.h"

namespace {

tk::Member mem(const std::string &name, char type, const std::string &data = "", const std::string &link = "") {
    tk::Member m;
    m.name = name, m.type = type, m.data = data, m.link = link;
    return m;
}

void write_archive(const std::vector<tk::Member> &ms) {
    tk::TarBuilder b;
    for (const auto &m : ms) b.add(m);
    tk::write_file("a.tar", b.finish());
}

struct stat status(const std::string &path) {
    struct stat s = {};
    lstat(path.c_str(), &s);
    return s;
}

// Each case runs in a scratch directory of its own.
struct Extract : ::testing::Test {
    tk::TempDir dir;
    tk::Chdir cd{dir.path()};
};

}  // namespace

TEST_F(Extract, TwoMatchesGiveSecondInMemoryAndTwoFiles) {
    write_archive({mem("m", '0', "first"), mem("m", '0', "second")});
    tk::Call c("-ARCHIVE a.tar -MEMBER m -x");
    ASSERT_EQ(0, c.get()) << c.message();
    EXPECT_EQ("second", c.out());
    tk::Call f("-ARCHIVE a.tar -MEMBER m -x -FILE outXXXXXX");
    ASSERT_EQ(0, f.get()) << f.message();
    auto files = tk::list_dir(".");  // a.tar and two out??????
    ASSERT_EQ(3u, files.size());
    std::string both = tk::read_file(files[1]) + tk::read_file(files[2]);
    EXPECT_TRUE(both == "firstsecond" || both == "secondfirst") << both;
    EXPECT_EQ("second", tk::read_file(f.filename()));
    EXPECT_EQ("out", f.filename().substr(0, 3));
}

TEST_F(Extract, TemplateNamingAndUniqueNamesWithParents) {
    write_archive({mem("a/b/c.txt", '0', "abc")});
    tk::Call bad("-ARCHIVE a.tar -MEMBER a/b/c.txt -x -FILE out");
    EXPECT_EQ(-1, bad.get());
    EXPECT_EQ("can't create ''", bad.message());
    tk::Call u("-ARCHIVE a.tar -MEMBER a/b/c.txt -x -FILE ignoredXXXXXX -UNIQUE");
    ASSERT_EQ(0, u.get()) << u.message();
    EXPECT_EQ(15u, u.filename().size());
    EXPECT_EQ("a/b/c.txt", u.filename().substr(0, 9));
    EXPECT_EQ("abc", tk::read_file(u.filename()));
    EXPECT_EQ(1000000000, status(u.filename()).st_mtime);
}

TEST_F(Extract, DirectoriesFifoAndLinksOnDiskInMemoryMode) {
    tk::write_file("t", "on disk");
    tk::Member fifo = mem("p", '6');
    fifo.mode = 0640;
    write_archive({mem("d", '5'), mem("o/x/", '0'), fifo, mem("t", '0', "T"), mem("h", '1', "", "t"),
                   mem("h2", '1', "", "missing")});
    tk::Call c("-ARCHIVE a.tar -MEMBER * -x -T t.log");
    ASSERT_EQ(0, c.get()) << c.message();
    EXPECT_EQ("T", c.out());
    EXPECT_EQ("on disk", tk::read_file("t"));  // memory mode leaves the local file alone
    EXPECT_TRUE(S_ISDIR(status("d").st_mode) && S_ISDIR(status("o/x").st_mode));
    EXPECT_EQ(S_IFIFO | 0640u, status("p").st_mode);
    EXPECT_EQ(1000000000, status("p").st_mtime);
    EXPECT_EQ(status("t").st_ino, status("h").st_ino);
    EXPECT_NE(std::string::npos, tk::read_file("t.log").find("can't link 'h2' to 'missing'"));
    write_archive({mem("d", '5'), mem("o/x/", '0')});  // both exist now
    tk::Call again("-ARCHIVE a.tar -MEMBER * -x");
    EXPECT_EQ(0, again.get()) << again.message();
}

TEST_F(Extract, SymlinkAndContiguousAreRefused) {
    for (char type : {'2', '7'}) {
        write_archive({mem("s", type, type == '7' ? "data" : "", "t")});
        tk::Call c("-ARCHIVE a.tar -MEMBER s -x");
        EXPECT_EQ(-1, c.get());
        EXPECT_EQ(std::string("'s' unknown file type '") + type + "'\n", c.message());
    }
}

TEST_F(Extract, DeviceNumbersAndOwnersUnlessDashO) {
    if (geteuid() != 0) GTEST_SKIP() << "devices and foreign owners need root";
    tk::Member dev = mem("c", '3'), m = mem("m", '0', "x");
    dev.major = 7, dev.minor = 9, dev.mode = 0600, m.uid = 1234, m.gid = 4321;
    write_archive({dev, m});
    for (bool keep : {false, true}) {
        tk::Call c("-ARCHIVE a.tar -MEMBER m -x -FILE outXXXXXX" + std::string(keep ? " -o" : ""));
        ASSERT_EQ(0, c.get()) << c.message();
        struct stat s = status(c.filename());
        EXPECT_EQ(keep ? geteuid() : 1234u, s.st_uid);
        EXPECT_EQ(keep ? getegid() : 4321u, s.st_gid);
        EXPECT_EQ(1000000000, s.st_mtime);
    }
    tk::Call c("-ARCHIVE a.tar -MEMBER c -x");
    ASSERT_EQ(0, c.get()) << c.message();
    struct stat s = status("c");
    EXPECT_EQ(S_IFCHR | 0600u, s.st_mode);
    EXPECT_EQ(7u, major(s.st_rdev));
    EXPECT_EQ(9u, minor(s.st_rdev));
}

TEST_F(Extract, UpdateAppendsOnlyFilesNewerThanEveryArchivedCopy) {
    tk::Member newer = mem("f", '0', "b");
    newer.mtime = 2000000000;
    write_archive({newer, mem("f", '0', "a")});  // the newest time counts, not the last
    tk::write_file("f", "c");
    for (time_t t : {2000000000, 2000000001}) {
        struct utimbuf times = {t, t};
        utime("f", &times);
        size_t before = tk::read_file("a.tar").size();
        tk::Call c("-ARCHIVE a.tar -MEMBER f -FILE f -u");
        ASSERT_EQ(0, c.put()) << c.message();
        EXPECT_EQ(t == 2000000001, tk::read_file("a.tar").size() > before) << t;
    }
}
