// backends_test.cpp - member data in the host's memory (bounds, lseek), the
// descriptor seek back, the counting read, and exclusive scratch naming.
#include <fcntl.h>
#include <gtest/gtest.h>
#include <sys/stat.h>
#include <unistd.h>

#include <cerrno>
#include <cstring>
#include <set>
#include <vector>

#include "adapter/adapter.h"
#include "tape/tape.h"
#include "tests/testkit/testkit.h"

namespace {

// An exact heap allocation, so the sanitizer sees any transfer past msize.
struct MemoryOps : ::testing::Test {
    std::vector<unsigned char> data = std::vector<unsigned char>(1000);
    void SetUp() override {
        file_flag = 0;
        z9_select_ops();
        for (size_t i = 0; i < data.size(); i++) data[i] = static_cast<unsigned char>(i * 7);
        mbuf = data.data(), msize = 1000, moff = 0;
    }
    void TearDown() override { mbuf = nullptr, msize = moff = 0; }
};

TEST_F(MemoryOps, WithoutABufferEveryOperationRefuses) {
    mbuf = nullptr, moff = 55;
    EXPECT_EQ(popenfile("ignored", O_RDONLY), -1);
    EXPECT_EQ(moff, 0);
    moff = 55;
    EXPECT_EQ(pclosefile(0), -1);
    EXPECT_EQ(moff, 0);
    char b[4];
    EXPECT_EQ(preadfile(0, b, 4), -1);
    EXPECT_EQ(pwritefile(0, b, 4), -1);
    EXPECT_EQ(plseekfile(0, 0, SEEK_SET), -1);
}

TEST_F(MemoryOps, LseekNeverGoesBeforeTheStart) {
    struct { int64_t from; off_t offset; int whence; off_t result; int64_t after; } cases[] = {
        {5, 0, SEEK_END, 1000, 1000},   {100, -10, SEEK_CUR, 90, 90}, {100, 7, SEEK_SET, 7, 7},
        {100, 50, SEEK_END, 1050, 1050}, {100, 0, 3, -1, 100},         {100, -101, SEEK_CUR, -1, 100},
        {100, -1, SEEK_SET, -1, 100},    {100, INT64_MAX, SEEK_END, -1, 100},
    };
    for (auto &c : cases) {
        moff = c.from;
        EXPECT_EQ(plseekfile(0, c.offset, c.whence), c.result) << c.from << " " << c.offset;
        EXPECT_EQ(moff, c.after);
    }
}

TEST_F(MemoryOps, TransfersStopAtTheEndOfTheBuffer) {
    unsigned char out[600], in[600];
    memset(in, 0xAB, sizeof in);
    ASSERT_EQ(popenfile("ignored", O_RDONLY), 0);
    EXPECT_EQ(preadfile(0, out, 300), 300);
    EXPECT_EQ(preadfile(0, out + 300, 212), 212);
    EXPECT_EQ(moff, 512);
    EXPECT_EQ(memcmp(out, data.data(), 512), 0);
    EXPECT_EQ(preadfile(0, out, 600), 488);
    EXPECT_EQ(memcmp(out, data.data() + 512, 488), 0);
    EXPECT_EQ(preadfile(0, out, 1), 0);
    plseekfile(0, -100, SEEK_END);
    EXPECT_EQ(pwritefile(0, in, 600), 100);
    EXPECT_EQ(data[899], static_cast<unsigned char>(899 * 7));
    EXPECT_EQ(data[900], 0xAB);
    plseekfile(0, 5000, SEEK_SET);
    EXPECT_EQ(pwritefile(0, in, 1), 0);
    EXPECT_EQ(pclosefile(0), 0);
    EXPECT_EQ(moff, 0);
}

TEST(ArchiveOps, SeekBackMovesByWholeBlocksButNotBeforeTheStart) {
    tk::TempDir dir;
    tk::write_file(dir / "a", std::string(2048, 'a'));
    z9_select_ops();
    handle = open((dir / "a").c_str(), O_RDONLY);
    lseek(handle, 1536, SEEK_SET);
    EXPECT_EQ(tapeops.back(3), 3);
    EXPECT_EQ(lseek(handle, 0, SEEK_CUR), 0);
    lseek(handle, 1024, SEEK_SET);
    EXPECT_EQ(tapeops.back(3), -1);
    EXPECT_EQ(lseek(handle, 0, SEEK_CUR), 1024);
    close(handle);
    handle = -1;
}

int next_result;
int scripted_read(void *, int) { return next_result; }

TEST(ArchiveOps, CountingReadCountsBlocksOfEveryReadButNotFailures) {
    z9_select_ops();
    tapeops.run_read = scripted_read;
    z9_count_reads();
    z9_count_reads();   // a second install must not count twice
    struct { int result; uint64_t total; } steps[] = {
        {16384, 32}, {2048, 36}, {1, 37}, {513, 39}, {0, 39}, {-1, 39}};
    char buf[1];
    for (auto s : steps) {
        next_result = s.result;
        EXPECT_EQ(tapeops.read(buf, 16384), s.result);
        EXPECT_EQ(allblock, s.total);
    }
    z9_select_ops();
}

TEST(ScratchName, NewFilesUnderTheUmaskOnlyForSixTrailingX) {
    for (const char *t : {"", "abXXXXX", "XXXXXXa", "tmpXXXXXY"}) {
        char buf[16];
        snprintf(buf, sizeof buf, "%s", t);
        EXPECT_EQ(z9_mkstemp(buf), -1) << t;
        EXPECT_STREQ(buf, "");
    }
    tk::TempDir dir;
    mode_t old = umask(027);
    std::set<std::string> names;
    for (int i = 0; i < 50; i++) {
        std::string t = dir / "sXXXXXX";
        int fd = z9_mkstemp(t.data());
        struct stat s;
        ASSERT_EQ(fstat(fd, &s), 0);
        EXPECT_EQ(s.st_mode, S_IFREG | 0640);
        close(fd);
        for (char c : t.substr(t.size() - 6)) EXPECT_TRUE(isalnum(static_cast<unsigned char>(c)));
        names.insert(t);
    }
    umask(old);
    EXPECT_EQ(names.size(), 50u);
    std::string t = dir / "missing/XXXXXX";
    EXPECT_EQ(z9_mktemp(t.data()), -1);
    EXPECT_EQ(errno, ENOENT);
}

}  // namespace
