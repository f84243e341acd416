// restore_test.cpp - a regular member's data on its way out of the archive:
// exact bytes at block boundaries in memory and files, extents, the coded
// size, a truncated archive, the buffer already handed over, replacing a file.
#include <gtest/gtest.h>
#include <unistd.h>

#include <cstdio>

#include "testkit/testkit.h"
#include "tar/tar.h"

namespace {

// Member "m" with extent fields (n of count, total) when n > 0, and an octal
// coded size in its tail when coded > 0; the data padded to whole blocks.
std::string member(const std::string &data, int n = 0, int count = 0, int total = 0, int64_t coded = 0) {
    tk::Member m;
    m.name = "m", m.data = data;
    std::string h = tk::TarBuilder::header(m);
    if (n) snprintf(&h[257], 4, "%o", n), snprintf(&h[261], 4, "%o", count), snprintf(&h[265], 12, "%o", total);
    if (coded) snprintf(&h[500], 12, "%llo", static_cast<long long>(coded));
    tk::TarBuilder::set_checksum(h);
    return h + data + std::string((512 - data.size() % 512) % 512, '\0');
}

// Each case runs in a scratch directory of its own.
struct Restore : ::testing::Test {
    tk::TempDir dir;
    tk::Chdir cd{dir.path()};
};

}  // namespace

TEST_F(Restore, BytesSurviveAtBlockBoundariesInMemoryAndFiles) {
    for (size_t size : {0u, 1u, 511u, 512u, 513u, 1u << 20}) {
        std::string data = tk::pattern_bytes(size, static_cast<unsigned>(size));
        tk::write_file("m", data);
        ASSERT_EQ(0, tk::sh("tar -cf a.tar --owner=0 --group=0 m"));
        tk::Call mem("-ARCHIVE a.tar -MEMBER m -x"), file("-ARCHIVE a.tar -MEMBER m -x -FILE outXXXXXX");
        ASSERT_EQ(0, mem.get()) << mem.message();
        ASSERT_EQ(0, file.get()) << file.message();
        EXPECT_TRUE(mem.out() == data && mem.rec.nOutLength == size) << size;
        EXPECT_TRUE(tk::read_file(file.filename()) == data) << size;
        unlink(file.filename().c_str());
    }
}

TEST_F(Restore, FirstExtentIsDeliveredLaterOnesFail) {
    std::string piece = tk::pattern_bytes(512);
    tk::write_file("a.tar", member(piece, 1, 3, 1536) + std::string(1024, '\0'));
    tk::Call first("-ARCHIVE a.tar -MEMBER m -x -FILE xXXXXXX -UNIQUE -T t.log"), mem("-ARCHIVE a.tar -MEMBER m -x");
    ASSERT_EQ(0, first.get()) << first.message();
    ASSERT_EQ(0, mem.get()) << mem.message();
    EXPECT_TRUE(tk::read_file(first.filename()) == piece && mem.out() == piece);
    std::string trace = tk::read_file("t.log");
    EXPECT_NE(std::string::npos, trace.find("x " + first.filename() + ", 512 bytes, 1 tape blocks"));
    EXPECT_NE(std::string::npos, trace.find(" [extent #1 of 3]"));

    tk::write_file("a.tar", member(piece, 2, 3, 1536) + std::string(1024, '\0'));
    tk::Call later("-ARCHIVE a.tar -MEMBER m -x -FILE xXXXXXX -UNIQUE"), memory("-ARCHIVE a.tar -MEMBER m -x");
    EXPECT_EQ(-1, later.get());
    EXPECT_EQ("'" + later.filename() + "' does not exist\n", later.message());
    EXPECT_EQ(-1, memory.get());
    EXPECT_EQ("'m' is extent 2 of 3: only a first extent can be extracted into memory", memory.message());
}

TEST_F(Restore, SizeBelowCodedSizeGivesZeroFilledBuffer) {
    tk::write_file("a.tar", member("abcdefghij", 0, 0, 0, 100) + std::string(1024, '\0'));
    tk::Call c("-ARCHIVE a.tar -MEMBER m -x");
    ASSERT_EQ(0, c.get()) << c.message();
    EXPECT_EQ(std::string(100, '\0'), c.out());
    // A buffer whose length nOutLength could not carry is refused unallocated.
    tk::write_file("a.tar", member("abcdefghij", 0, 0, 0, 5368709120) + std::string(1024, '\0'));
    EXPECT_EQ(-1, c.get());
    EXPECT_EQ("'m' is too large to extract into memory (5368709120 bytes)", c.message());
}

TEST_F(Restore, TruncatedArchiveFailsCleanlyAndLeavesHandedBufferAlone) {
    tk::write_file("ok.tar", member("kept") + std::string(1024, '\0'));
    tk::Call handed("-ARCHIVE ok.tar -MEMBER m -x");
    ASSERT_EQ(0, handed.get()) << handed.message();
    tk::write_file("a.tar", member(tk::pattern_bytes(2000)).substr(0, 1024));
    int fds = tk::count_fds();
    for (std::string mode : {"", " -FILE outXXXXXX"}) {
        tk::Call c("-ARCHIVE a.tar -MEMBER m -x" + mode);
        EXPECT_EQ(-1, c.get());
        EXPECT_EQ("archive read error", c.message());
        EXPECT_EQ(nullptr, c.rec.pOutData);
        EXPECT_EQ(fds, tk::count_fds());
    }
    EXPECT_EQ("kept", handed.out());
}

TEST_F(Restore, ReplacedFileKeepsOldBytesUnderHardLinkBlockedPathIsNamed) {
    tk::write_file("f", "old");
    ASSERT_EQ(0, link("f", "g"));
    int fd = newfile("f", 0600);
    ASSERT_EQ(3, write(fd, "new", 3));
    close(fd);
    EXPECT_EQ("newold", tk::read_file("f") + tk::read_file("g"));
    tk::write_file("a.tar", tk::TarBuilder().file("f/b/c.txt", "abc").finish());
    tk::Call c("-ARCHIVE a.tar -MEMBER f/b/c.txt -x -FILE xXXXXXX -UNIQUE");
    EXPECT_EQ(-1, c.get());
    EXPECT_EQ("can't create 'f'", c.message());  // the file f stands where a directory must
}
