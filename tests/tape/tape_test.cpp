// tape_test.cpp - the block layer on real archive files: the fast paths
// (seeking, reading straight into memory, writing inside the system) against
// the record path they stand in for: both must end in the same state with
// the same bytes.
#include <fcntl.h>
#include <gtest/gtest.h>
#include <unistd.h>

#include "adapter/adapter.h"
#include "tape/tape.h"
#include "tar/tar.h"
#include "testkit/testkit.h"

namespace {

using State = std::vector<int64_t>;
constexpr int64_t R = kRecordBytes;

// n blocks, block i starting with its number i, the rest pattern bytes.
std::string numbered(int n) {
    std::string s = tk::pattern_bytes(n * 512u, 7);
    for (int i = 0; i < n; i++) memcpy(&s[i * 512u], &i, sizeof i);
    return s;
}
int number(const unsigned char *block) {
    int v = -1;
    if (block) memcpy(&v, block, sizeof v);
    return v;
}
int64_t hash(const std::string &s) { return static_cast<int64_t>(std::hash<std::string>{}(s)); }

// Archive operations wrapped around the plain ones, which no fast path takes.
int reads;
int counted_read(void *buf, int length) {
    reads++;
    return tapeops.run_read(buf, length);
}
int wrapped_write(const void *buf, int length) { return tapeops.run_write(buf, length); }

// Record by record; whole records seeked over (all a wrapped read allows);
// every fast path there is.
enum Way { kRecords, kSeeks, kFast };

struct Tape : ::testing::Test {
    tk::TempDir dir;
    char msg[kMessageSize] = {};
    int fds = tk::count_fds(), record_reads = 0;
    std::string data;   // member data behind the memory operations

    void SetUp() override { mszErrMsg = msg; }
    void TearDown() override {
        reset();
        mszErrMsg = nullptr;
        EXPECT_EQ(tk::count_fds(), fds);
    }
    // The end of a run releases what it holds; the next starts afresh.
    void reset() {
        _done();
        a_flag = c_flag = d_flag = t_flag = file_flag = 0;
        msg[0] = reads = cblock = 0;
        mbuf = nullptr;
    }
    // Opens the archive the way the driver does; `bytes` are member data in memory.
    void open_archive(const std::string &bytes = "") {
        ASSERT_EQ(initape((dir / "a").c_str()), 1);
        io_buf = io_2nd = getbuf(kRecordBytes);
        runtape();
        data = bytes;
        mbuf = reinterpret_cast<unsigned char *>(data.data());
        msize = std::ssize(data);
        moff = 0;
    }
    // A result, then what a reader sees of the archive.
    State state(int64_t result) {
        return {result, nbytes, lseek(handle, 0, SEEK_CUR), nread, rblock, int64_t(allblock),
                msg[0]};
    }
    // Each case on an archive of its `size` numbered blocks (negative: and
    // an odd tail), run each way: every way ends as the record way ends.
    template <class Case, size_t N, class Run>
    void ends_alike(const Case (&cases)[N], std::initializer_list<Way> ways, Run run) {
        for (const Case &c : cases) {
            tk::write_file(dir / "a", c.size >= 0 ? numbered(c.size) : numbered(-c.size) + "odd");
            State records = run(c, kRecords);
            record_reads = reads;
            reset();
            for (Way way : ways) {
                EXPECT_EQ(run(c, way), records) << "case " << &c - cases << ", way " << way;
                reset();
            }
        }
    }
};

// After `before` blocks, `skip` blocks are read, or skipped; then every
// block to the end (an odd tail is a read error), and a step back.
TEST_F(Tape, SkippingBlocksEndsExactlyAsReadingThem) {
    struct { int size, before, skip; } cases[] = {
        {100, 0, 1},  {100, 1, 31}, {100, 1, 32}, {100, 1, 95}, {100, 5, 70},  {100, 0, 99},
        {100, 3, 97}, {70, 1, 100}, {-99, 0, 98}, {-99, 1, 95}, {100, 30, 10}, {100, 0, 100}};
    ends_alike(cases, {kSeeks, kFast}, [&](auto &c, Way way) {
        t_flag = 1;
        open_archive();
        if (way != kFast) tapeops.read = counted_read;
        for (int i = 0; i < c.before; i++) readtape();
        int ok = way == kRecords ? 1 : z9_skipblocks(c.skip);
        for (int i = 0; i < c.skip && way == kRecords && ok; i++) ok = readtape() != nullptr;
        bool seeked = c.skip <= 32 || c.size == 70 || reads < record_reads;
        EXPECT_TRUE(way != kSeeks || seeked) << "whole records are seeked over";
        State seen = state(ok);
        int last = -1;   // the last good block: before a record that is not whole blocks, if any
        for (const unsigned char *b; ok && (b = readtape());) seen.push_back(last = number(b));
        EXPECT_TRUE(last == -1 || last == (c.size > 0 ? c.size : 96) - 1) << last;
        bacouple();
        seen.push_back(ok ? number(readtape()) : -2);
        return seen;
    });
}

// After `before` blocks, `bytes` of member data go into a file through
// io_buf, or into memory with whole records straight past it; the next
// block handed out follows the data's last (partial) block.
TEST_F(Tape, DirectReadIntoMemoryEndsExactlyAsBufferedRead) {
    struct { int size, before; int64_t bytes; } cases[] = {
        {200, 1, 2 * R},         {200, 1, 2 * R + 1},     {200, 1, 2 * R - 1},
        {200, 1, 3 * R - 512},   {200, 32, 3 * R},        {128, 32, 3 * R},
        {200, 0, 4 * R + 512},   {200, 1, 199 * 512},     {200, 1, 199 * 512 + 1},
        {200, 9, 150 * 512 - 7}, {-150, 1, 149 * 512},    {-150, 1, 100 * 512}};
    ends_alike(cases, {kFast}, [&](auto &c, Way way) {
        file_flag = way == kRecords;
        t_flag = 1;
        open_archive(std::string(c.bytes, '\0'));
        tapeops.read = counted_read;
        int fd = file_flag ? open((dir / "out").c_str(), O_CREAT | O_TRUNC | O_WRONLY, 0600) : 0;
        for (int i = 0; i < c.before; i++) readtape();
        State seen = state(readarch(fd, c.bytes));
        if (file_flag) close(fd);
        EXPECT_TRUE(file_flag || c.bytes < 3 * R || reads < record_reads) << "no records to memory";
        int next = seen[0] ? number(readtape()) : -2;
        EXPECT_TRUE(next == c.before + (c.bytes + 511) / 512 || next < 0) << next;
        seen.push_back(hash(file_flag ? tk::read_file(dir / "out") : data.substr(0, moff)));
        seen.push_back(next);
        return seen;
    });
    open_archive("data");   // the memory operations move nothing at an offset past the buffer
    moff = 5000;
    EXPECT_TRUE(preadfile(0, &data[0], 1) == 0 && pwritefile(0, "x", 1) == 0 && data == "data");
}

// After `pending` blocks, a create stores `bytes` of a source of `real`
// bytes (fewer: a file that shrank) from memory or a file: through io_2nd,
// held there by a wrapped write, or whole records straight into the archive.
// The archive holds the data, zero padded, and ends right behind one end block.
TEST_F(Tape, DirectWritesStoreWhatBufferedWritesStore) {
    struct { int pending; int64_t bytes, real; bool file; int size = 0; } cases[] = {
        {1, 3 * R, 3 * R, 0},             {0, 2 * R, 2 * R, 0},       {31, 2 * R + 1, 2 * R + 1, 0},
        {5, 5 * R - 100, 5 * R - 100, 0}, {0, 2000, 700, 0},          {1, 3 * R, 3 * R, 1},
        {0, 4 * R + 512, 4 * R + 512, 1}, {1, 3 * R, 2 * R + 700, 1}, {0, 3 * R, 2 * R, 1},
        {3, 3 * R, R + 512, 1},           {0, 2 * R, 0, 1}};
    ends_alike(cases, {kFast}, [&](auto &c, Way way) {
        std::string source = tk::pattern_bytes(c.real, 5), pending(c.pending * 512u, 'P');
        tk::write_file(dir / "src", source);
        a_flag = c_flag = 1;
        file_flag = c.file;
        open_archive(source);
        if (way == kRecords) tapeops.write = wrapped_write;
        int fd = c.file ? open((dir / "src").c_str(), O_RDONLY) : 0;
        for (int i = 0; i < c.pending; i++) memset(steptape(), 'P', 512);
        State seen = {writearch(fd, c.bytes, "src"), lseek(hwrite, 0, SEEK_CUR) + wblock * 512L};
        seen.insert(seen.end(), {c.file ? close(fd) : moff, endtape()});
        EXPECT_TRUE(nblock == kMaxBlocks && handle == -1 && hwrite == -1);   // a create's records
        EXPECT_EQ(seen[0], (c.real + 511) / 512);
        std::string want = pending + source + std::string((-c.real & 511) + 512, '\0');
        EXPECT_TRUE(tk::read_file(dir / "a") == want);
        return seen;
    });
}

}  // namespace
