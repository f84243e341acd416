// tape_test.cpp - the memory operations' bounds; over real archives the blocking factor, block counts, read
// and write errors, pipes, create, append (also past 4 GiB), scratch files, each fast path vs the record path.
#include <fcntl.h>
#include <gtest/gtest.h>
#include <signal.h>
#include <sys/resource.h>
#include <unistd.h>

#include <cstring>
#include <tuple>
#include <vector>

#include "adapter/adapter.h"
#include "tape/tape.h"
#include "tar/tar.h"
#include "tests/testkit/testkit.h"

namespace {

using std::tuple;
using Seen = std::vector<int64_t>;
const int64_t R = kRecordBytes;

// n blocks, block i starting with its number i, the rest pattern bytes.
std::string blocks(int n) {
    std::string s = tk::pattern_bytes(static_cast<size_t>(n) * 512, 7);
    for (int i = 0; i < n; i++) memcpy(&s[static_cast<size_t>(i) * 512], &i, sizeof i);
    return s;
}
std::string fill(char c, int n = 1) { return std::string(static_cast<size_t>(n) * 512, c); }
int id(const unsigned char *b) { int v = -1; if (b) memcpy(&v, b, sizeof v); return v; }
int64_t hash(const std::string &s) { return static_cast<int64_t>(std::hash<std::string>{}(s)); }

// Archive operations that count reads and record writes.
int reads;
std::vector<int> writes;
int counted_read(void *buf, int length) { return reads++, tapeops.run_read(buf, length); }
int recording_write(const void *buf, int length) { return writes.push_back(length), tapeops.run_write(buf, length); }

struct Tape : ::testing::Test {
    tk::TempDir dir;
    char msg[kMessageSize] = {};
    int fds = tk::count_fds(), first_reads = 0;   // reads of way 0 in ends_alike
    std::string data;                              // member data behind the memory operations

    void SetUp() override { reset(), ndrive = 0, mszErrMsg = msg; }
    void TearDown() override { reset(), mszErrMsg = nullptr, mbuf = nullptr; EXPECT_EQ(tk::count_fds(), fds); }
    // The end of a run releases what it holds; the next starts with fresh flags.
    void reset() {
        _done();
        msg[0] = '\0', reads = 0, a_flag = c_flag = d_flag = t_flag = file_flag = 0, cblock = 0;
    }
    // Opens the archive the way the driver does.
    void open_archive(const std::string &path) {
        ASSERT_EQ(initape(path.c_str()), 1);
        io_buf = io_2nd = getbuf(cblock ? cblock * kBlockSize : kRecordBytes), runtape();
    }
    void member(const std::string &bytes) {
        data = bytes, mbuf = reinterpret_cast<unsigned char *>(data.data()), msize = std::ssize(data), moff = 0;
    }
    // A result, then what a reader sees of the archive.
    Seen state(int64_t result) {
        return {result, nbytes, lseek(handle, 0, SEEK_CUR), nread, rblock, static_cast<int64_t>(allblock), msg[0]};
    }
    // Runs each case each way on an archive of its `size` blocks (negative:
    // and an odd tail); every way must end as way 0, the record path, ends.
    template <class Case, size_t N, class Way> void ends_alike(const Case (&cases)[N], int ways, Way way) {
        for (const Case &c : cases) {
            tk::write_file(dir / "a", c.size >= 0 ? blocks(c.size) : blocks(-c.size) + "odd");
            std::vector<Seen> seen;
            for (int w = 0; w < ways; w++) seen.push_back(way(c, w)), reset();
            for (int w = 1; w < ways; w++) EXPECT_EQ(seen[w], seen[0]) << "case " << &c - cases << ", way " << w;
        }
    }
};

// One memory operation on a 1000-byte buffer (or none): 'o'pen, 'c'lose,
// 'r'ead or 'w'rite arg bytes, 's'eek to arg from whence (0 start, 1 moff,
// 2 end); moff before and after.
struct MemOp { bool buffer; char op; int64_t from, arg; int whence; int64_t result, after; };
const MemOp kMemOps[] = {
    {0, 'o', 55, 0, 0, -1, 0},      {0, 'c', 55, 0, 0, -1, 0},        {0, 'r', 0, 4, 0, -1, 0},
    {0, 'w', 0, 4, 0, -1, 0},       {0, 's', 0, 0, 0, -1, 0},         {1, 'o', 55, 0, 0, 0, 0},
    {1, 'c', 55, 0, 0, 0, 0},       {1, 'r', 0, 300, 0, 300, 300},    {1, 'r', 300, 212, 0, 212, 512},
    {1, 'r', 512, 600, 0, 488, 1000}, {1, 'r', 1000, 1, 0, 0, 1000},  {1, 'w', 900, 600, 0, 100, 1000},
    {1, 'w', 5000, 1, 0, 0, 5000},  {1, 's', 5, 0, 2, 1000, 1000},    {1, 's', 100, -10, 1, 90, 90},
    {1, 's', 100, 7, 0, 7, 7},      {1, 's', 100, 50, 2, 1050, 1050}, {1, 's', 100, 0, 3, -1, 100},
    {1, 's', 100, -101, 1, -1, 100}, {1, 's', 100, -1, 0, -1, 100},   {1, 's', 100, INT64_MAX, 2, -1, 100}};

TEST_F(Tape, MemoryOperationsStayWithinTheBuffer) {
    file_flag = 0, z9_select_ops();
    for (const MemOp &o : kMemOps) {
        std::string bytes = tk::pattern_bytes(1000);   // exact sizes, for the sanitizer:
        std::vector<unsigned char> buf(bytes.begin(), bytes.end()), want(buf), io(600, 0xAB);
        mbuf = o.buffer ? buf.data() : nullptr, msize = 1000, moff = o.from;
        int64_t got = o.op == 'o' ? popenfile("ignored", O_RDONLY) : o.op == 'c' ? pclosefile(0)
                    : o.op == 'r' ? preadfile(0, io.data(), o.arg) : o.op == 'w' ? pwritefile(0, io.data(), o.arg)
                    : plseekfile(0, o.arg, o.whence);
        EXPECT_EQ(tuple(got, moff), tuple(o.result, o.after)) << o.op << " " << o.from << " " << o.arg;
        // A read hands out the bytes at from; a write changes those and no others.
        for (int64_t k = 0; o.op == 'w' && k < got; k++) want[static_cast<size_t>(o.from + k)] = 0xAB;
        bool read_ok = o.op != 'r' || got <= 0 || !memcmp(io.data(), &buf[o.from], static_cast<size_t>(got));
        EXPECT_TRUE(buf == want && read_ok) << o.op << " " << o.from;
    }
}

TEST_F(Tape, ReadLearnsTheBlockingFactorAndFailsOnAnOddLength) {
    // An odd length: its first read is dropped and the next gets nothing, or a later read is odd.
    struct { int n; bool odd; int good, factor, last; uint64_t counted; } cases[] = {
        {3, false, 3, 3, 3, 3},     {32, false, 32, 32, 32, 32}, {33, false, 33, 32, 1, 33},
        {100, false, 100, 32, 4, 100}, {3, true, 0, 0, 0, 4},     {40, true, 32, 32, 32, 41}};
    for (auto c : cases) {
        tk::write_file(dir / "a", blocks(c.n) + (c.odd ? "odd" : "")), t_flag = 1, open_archive(dir / "a");
        int good = 0;
        while (id(readtape()) == good) good++;
        EXPECT_EQ(tuple(good, cblock, nblock, nread, nbytes, allblock, std::string(msg)),
                  tuple(c.good, c.factor, c.factor, c.last, c.good * 512L, c.counted, "archive read error")) << c.n;
        reset();
    }
}

TEST_F(Tape, APipeIsReadAsItComesAndCannotBeRepositioned) {
    int p[2], size = 40 * 512;
    ASSERT_TRUE(pipe(p) == 0 && write(p[1], blocks(40).data(), size) == size);
    close(p[1]), open_archive("/proc/self/fd/" + std::to_string(p[0])), close(p[0]);
    // The 35 blocks are read, not seeked over: the last record read holds 8 blocks.
    ASSERT_TRUE(S_ISFIFO(sa.st_mode) && id(readtape()) == 0 && z9_skipblocks(35) && id(readtape()) == 36 && nread == 8);
    for (const char *error : {"tape blocksize error", "tape seek failed"})   // part of a block; a pipe
        EXPECT_TRUE((nbytes ^= 1, backtape() == 0) && !strcmp(msg, error)) << error;
}

TEST_F(Tape, CreateWritesHeaderDataAndOneEndBlockToAFileAndWholeRecordsToADevice) {
    for (auto [path, length] : {tuple{dir / "a", 1536}, {std::string("/dev/null"), 16384}}) {
        tk::write_file(dir / "a", fill('x', 9));   // emptied by the create
        a_flag = c_flag = 1, open_archive(path);
        tapeops.write = recording_write, writes.clear(), member(tk::pattern_bytes(100));
        ASSERT_TRUE(memset(steptape(), 'H', 512) && writearch(0, 100, "m") == 1 && endtape() == 1);
        EXPECT_EQ(tuple(nblock, handle, hwrite, writes), tuple(32, -1, -1, std::vector<int>{length}));
        EXPECT_EQ(tk::read_file(dir / "a"), length < R ? fill('H') + data + std::string(412, '\0') + fill(0) : fill('x', 9));
        reset();
    }
}

TEST_F(Tape, AppendReplacesTheEndBlockAlsoBehindFourGibibytes) {
    // A header, a hole of `hole` blocks as its data, two blocks and the end
    // marker; a device steps back, reads the record again and steps back.
    for (auto [hole, device] : {tuple{int64_t{0}, false}, {int64_t{0}, true}, {(int64_t{13} << 20) + 1, false}}) {
        const int64_t total = 1 + hole + 3, last = total % 32 ? total % 32 : 32;
        int fd = open((dir / "big").c_str(), O_CREAT | O_TRUNC | O_RDWR, 0600);
        ASSERT_TRUE(ftruncate(fd, total * 512) == 0 && pwrite(fd, fill('H').data(), 512, 0) == 512 &&
                    pwrite(fd, fill('I', 2).data(), 1024, (1 + hole) * 512) == 1024);
        a_flag = 1, open_archive(dir / "big");
        if (device) sa.st_mode = S_IFCHR;
        ASSERT_TRUE(readtape()[0] == 'H' && z9_skipblocks(hole) && readtape()[0] == 'I' && readtape()[0] == 'I' &&
                    readtape()[0] == '\0');
        ASSERT_EQ(backtape(), 1);
        EXPECT_EQ(tuple(lseek(handle, 0, SEEK_CUR), nbytes), tuple((total - last) * 512, (total + device * 4) * 512));
        memset(steptape(), 'J', 512);
        ASSERT_EQ(endtape(), 1);
        std::string tail(2048, 'x');   // behind the two blocks: the new one and an end block
        EXPECT_TRUE(pread(fd, tail.data(), 2048, (1 + hole) * 512) == 2048 && tail == fill('I', 2) + fill('J') + fill(0));
        EXPECT_EQ(lseek(fd, 0, SEEK_END), (total + 1 + device * 3) * 512);   // a device gets whole records
        close(fd), reset();
    }
}

TEST_F(Tape, ScratchFileIsMadeBesideTheArchive) {
    tk::write_file(dir / "a", blocks(3));
    tk::Chdir cd(dir.path());
    mode_t old = umask(027);
    for (auto [name, prefix] : {tuple{std::string("a"), std::string()}, {dir / "a", dir / ""}, {dir / "no/a", ""}}) {
        d_flag = 1, open_archive(dir / "a");
        bool made = duptape(name.c_str());
        std::string s = made ? scratch : prefix + "failed";   // six characters after the prefix
        EXPECT_TRUE(s.size() == prefix.size() + 6 && s.rfind(prefix, 0) == 0) << s;
        EXPECT_EQ(tk::status(dir / s.substr(s.size() - 6)).st_mode, made ? S_IFREG | 0640u : 0u);
        EXPECT_STREQ(msg, name.find("no/") == std::string::npos ? "" : "can't create scratch file\n");
        EXPECT_TRUE(io_2nd != io_buf && (hwrite != handle) == made);
        reset();
    }
    umask(old);
}

TEST_F(Tape, ShortOrFailedWritesAreWriteErrors) {
    a_flag = c_flag = 1, open_archive(dir / "a"), tk::write_file(dir / "src", fill('f', 96));
    int src = open((dir / "src").c_str(), O_RDONLY);
    // After `steps` blocks: no more ('s'), writearch from memory ('m') or a file ('f'), endtape ('e'): each place
    // writing records writes last once. Under a 1000-byte size limit a write at 0 is short, at 1000 fails (EFBIG).
    struct { char op; int steps; uint64_t bytes; } ops[] = {
        {'s', 33, 0}, {'m', 1, R}, {'m', 0, R}, {'m', 0, 2 * R + 1}, {'f', 0, 2 * R + 1}, {'e', 2, 0}};
    rlimit old, small;
    getrlimit(RLIMIT_FSIZE, &old), small = old, small.rlim_cur = 1000;
    auto handler = signal(SIGXFSZ, SIG_IGN);
    setrlimit(RLIMIT_FSIZE, &small);
    std::vector<std::string> got;
    for (int at : {0, 1000})
        for (auto [op, steps, bytes] : ops) {
            file_flag = op == 'f', z9_select_ops(), member(fill('m', 96)), runtape(), msg[0] = '\0';
            lseek(hwrite, at, SEEK_SET), lseek(src, 0, SEEK_SET);
            bool ok = true;
            for (int i = 0; i < steps; i++) ok = steptape() != nullptr;
            if (op != 's') ok = op == 'e' ? endtape() : writearch(file_flag ? src : 0, bytes, "m");
            got.push_back(ok ? "stored" : msg);
        }
    setrlimit(RLIMIT_FSIZE, &old), signal(SIGXFSZ, handler), close(src);
    EXPECT_EQ(got, std::vector<std::string>(12, "tape write error"));
    EXPECT_GE(hwrite, 0);   // a failed end leaves the archive open
    mbuf = nullptr, file_flag = 0, z9_select_ops(), runtape();
    EXPECT_TRUE(writearch(0, 10, "gone") == 0 && !strcmp(msg, "error reading 'gone'"));
}

TEST_F(Tape, SkippingBlocksEndsExactlyAsReadingThem) {
    // After `before` blocks, `skip` blocks are read (way 0) or skipped with a wrapped read (1: whole
    // records seeked over) or the plain one (2: of the record a skip lands in only the next block is read).
    struct { int size, before, skip; } cases[] = {
        {100, 0, 1},  {100, 1, 31}, {100, 1, 32}, {100, 1, 95}, {100, 5, 70},  {100, 0, 99},
        {100, 3, 97}, {70, 1, 100}, {-99, 0, 98}, {-99, 1, 95}, {100, 30, 10}, {100, 0, 100}};
    ends_alike(cases, 3, [&](auto &c, int way) {
        t_flag = 1, open_archive(dir / "a");
        if (way < 2) tapeops.read = counted_read;
        for (int i = 0; i < c.before; i++) readtape();
        int ok = way ? z9_skipblocks(c.skip) : 1;
        for (int i = 0; i < c.skip && !way && ok; i++) ok = readtape() != nullptr;
        if (way == 0) first_reads = reads;
        EXPECT_TRUE(way != 1 || c.skip <= 32 || c.size == 70 || reads < first_reads) << "whole records are seeked over";
        Seen seen = state(ok);
        // Then every block up to the end, and a step back into the record.
        for (const unsigned char *b; ok && (b = readtape()) != nullptr;) seen.push_back(id(b));
        if (ok) bacouple(), seen.push_back(id(readtape()));
        return seen;
    });
}

TEST_F(Tape, DirectReadIntoMemoryEndsExactlyAsBufferedRead) {
    // After `before` blocks, `bytes` of member data go into a file (way 0,
    // through io_buf) or into memory (whole records straight past io_buf).
    struct { int size, before; int64_t bytes; } cases[] = {
        {200, 1, 2 * R},         {200, 1, 2 * R + 1},       {200, 1, 2 * R - 1},  {200, 1, 3 * R - 512},
        {200, 32, 3 * R},        {128, 32, 3 * R},          {200, 0, 4 * R + 512}, {200, 1, 199 * 512},
        {200, 1, 199 * 512 + 1}, {200, 9, 150 * 512 - 7}, {-150, 1, 149 * 512}, {-150, 1, 100 * 512}};
    ends_alike(cases, 2, [&](auto &c, int direct) {
        file_flag = !direct, t_flag = 1, open_archive(dir / "a");
        tapeops.read = counted_read;
        int fd = direct ? 0 : open((dir / "out").c_str(), O_CREAT | O_TRUNC | O_WRONLY, 0600);
        member(std::string(static_cast<size_t>(c.bytes), '\0'));
        for (int i = 0; i < c.before; i++) readtape();
        Seen seen = state(readarch(fd, c.bytes));
        if (!direct) close(fd), first_reads = reads;
        EXPECT_TRUE(!direct || c.bytes < 3 * R || reads < first_reads) << "whole records go straight to memory";
        std::string out = direct ? data.substr(0, static_cast<size_t>(moff)) : tk::read_file(dir / "out");
        seen.insert(seen.end(), {hash(out), seen[0] ? id(readtape()) : -2});
        return seen;
    });
}

TEST_F(Tape, CopyingBlocksInsideTheSystemEndsExactlyAsReadingAndSteppingThem) {
    // After `before` blocks read and `pending` put out, `n` blocks are copied
    // to the scratch file block by block (way 0) or by z9_copyblocks.
    struct { int size, before, pending, n; } cases[] = {
        {200, 1, 1, 150}, {200, 1, 0, 64},  {200, 32, 31, 96},  {200, 0, 5, 200},
        {200, 1, 1, 40},  {200, 3, 2, 198}, {-150, 1, 1, 140}, {-150, 1, 7, 100}};
    ends_alike(cases, 2, [&](auto &c, int bulk) {
        d_flag = 1, open_archive(dir / "a");
        std::string copy = duptape((dir / "a").c_str()) ? scratch : "";
        for (int i = 0; i < c.before; i++) readtape();
        for (int i = 0; i < c.pending; i++) memset(steptape(), 'P', 512);
        int ok = bulk ? z9_copyblocks(c.n) : 1;
        unsigned char *in, *to;
        for (int i = 0; !bulk && ok && i < c.n; i++) ok = (in = readtape()) && (to = steptape()) && memcpy(to, in, 512);
        Seen seen = state(ok);   // and where the next block lands, and the next block
        seen.insert(seen.end(), {lseek(hwrite, 0, SEEK_CUR) + wblock * 512L, ok ? id(readtape()) : -2});
        if (ok) seen.push_back(endtape()), seen.push_back(hash(tk::read_file(copy)));
        return seen;
    });
}

TEST_F(Tape, DirectWritesStoreWhatBufferedWritesStore) {
    // After `pending` blocks, writearch stores `bytes` of a source of `real` bytes
    // (short: a short member) in memory or a file: through io_2nd (way 0, kept
    // there by a wrapped archive write) or whole records straight into the archive.
    struct { int pending; int64_t bytes, real; bool file; int size = 0; } cases[] = {
        {1, 3 * R, 3 * R, 0},  {0, 2 * R, 2 * R, 0},   {31, 2 * R + 1, 2 * R + 1, 0}, {5, 5 * R - 100, 5 * R - 100, 0},
        {0, 2000, 700, 0},     {1, 3 * R, 3 * R, 1},   {0, 4 * R + 512, 4 * R + 512, 1}, {1, 3 * R, 2 * R + 700, 1},
        {0, 3 * R, 2 * R, 1},  {3, 3 * R, R + 512, 1}, {0, 2 * R, 0, 1}};
    ends_alike(cases, 2, [&](auto &c, int direct) {
        std::string source = tk::pattern_bytes(static_cast<size_t>(c.real), 5);
        tk::write_file(dir / "src", source);
        a_flag = c_flag = 1, file_flag = c.file, open_archive(dir / "a");
        if (!direct) tapeops.write = recording_write;
        member(source);
        int fd = c.file ? open((dir / "src").c_str(), O_RDONLY) : 0;
        for (int i = 0; i < c.pending; i++) memset(steptape(), 'P', 512);
        Seen seen = {writearch(fd, static_cast<uint64_t>(c.bytes), "src"), lseek(hwrite, 0, SEEK_CUR) + wblock * 512L,
                     c.file ? close(fd) : moff, endtape(), msg[0]};
        EXPECT_EQ(seen[0], (c.real + 511) / 512);
        EXPECT_TRUE(tk::read_file(dir / "a") == fill('P', c.pending) + source + std::string(-c.real & 511, '\0') + fill(0));
        return seen;
    });
}

}  // namespace
