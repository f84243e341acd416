// tar_test.cpp - the tar engine's routines on their own: the header codec on
// crafted blocks (field parsers and forms, checksum, predicates), gethead over
// archive files, the pattern match, the member texts, the bookkeeping lists
// and _done's release. (scantape is seen through the listing and extraction.)
#include <fcntl.h>
#include <gtest/gtest.h>
#include <unistd.h>

#include "adapter/adapter.h"
#include "tape/tape.h"
#include "tar/tar.h"
#include "testkit/testkit.h"

namespace {

template <size_t N> std::string B(const char (&s)[N]) { return std::string(s, N - 1); }
unsigned char blk[kBlockSize];
// Makes blk the current header: zero bytes, the typeflag, text at off.
unsigned char *fresh(int off = 0, const std::string &text = "", char type = '0') {
    memset(blk, 0, sizeof blk);
    blk[kTypeOff] = static_cast<unsigned char>(type);
    memcpy(blk + off, text.data(), text.size());
    return (hblock = blk) + off;
}
std::string at(int off, size_t n) { return std::string(reinterpret_cast<char *>(hblock) + off, n); }

TEST(HeaderCodec, ReadsNumericFields) {
    struct { int kind, off; std::string text; int64_t value; int bad; } cases[] = {
        {0, kModeOff, B("000644 \0"), 420, 0}, {0, kModeOff, "0000644", 420, 0}, {0, kModeOff, "00000644", 064, 1},
        {0, kModeOff, "", 0, 0}, {0, kModeOff, "12x", 10, 1}, {0, kModeOff, "700000", -32768, 0},
        {0, kModeOff, "        644 ", 420, 0}, {0, kBlockSize - 8, "        ", 0, 1},
        {1, kSizeOff, "12x", 10, 1}, {1, kSizeOff, "77777777777 ", kMaxMemberSize, 0},
        {1, kSizeOff, "777777777777", kMaxMemberSize, 1}, {1, kBlockSize - 6, "777777", 0777777, 1},
        {2, kHexSizeOff, "0000abCD", 0xabcd, 0}, {2, kHexSumOff, "123456789", 0x12345678, 1}};
    for (const auto &c : cases) {
        unsigned char *p = fresh(c.off, c.text);
        short s = 0;
        int64_t l = 0;
        int bad = c.kind == 0 ? soctus(p, &s) : c.kind == 1 ? soctul(p, &l) : shexul(p, &l);
        EXPECT_TRUE((c.kind == 0 ? s : l) == c.value && bad == c.bad) << c.text;
    }
    unsigned char alone[kModeLen];  // outside the header: nothing past the field is read
    memset(alone, ' ', sizeof alone);
    short v = 5;
    EXPECT_TRUE(soctus(alone, &v) == 1 && v == 0);
}

TEST(HeaderCodec, WritesOctalFormsAndTheChecksum) {
    struct { int value; char last; std::string want; } cases[] = {
        {0644, ' ', B("   644 \0")}, {32768, ' ', B("700000 \0")}, {65534, ' ', B("777776 \0")},
        {70000, ' ', B(" 10560 \0")}, {04755, ' ', B("  4755 \0")}, {0, '\0', B("     0\0\0")}};
    for (const auto &c : cases) {
        short back = 0;
        procts(fresh(kUidOff), static_cast<short>(c.value), c.last);
        EXPECT_EQ(at(kUidOff, kUidLen), c.want);
        EXPECT_TRUE(soctus(hblock + kUidOff, &back) == 0 && back == static_cast<short>(c.value)) << c.value;
    }
    proctl(fresh(kSizeOff), kMaxMemberSize);  // the widest size
    EXPECT_EQ(at(kSizeOff, kSizeLen), "77777777777 ");
    memset(blk, 0xFF, kBlockSize);  // bytes count unsigned, the checksum field as spaces
    EXPECT_EQ(headsum(blk), static_cast<short>(504 * 255 + 8 * ' '));
}

TEST(HeaderCodec, ExtentsMagicsAndTypes) {
    struct { std::string text; int want; } texts[] = {{"2", 1}, {"123", 1}, {"2 ", 1}, {"1234", 0},
                                                      {"", 0}, {"2  ", 0}, {B("2\0x"), 0}};
    for (const auto &c : texts) EXPECT_EQ(isoctal(fresh(kExtNumOff, c.text), kExtNumLen), c.want) << c.text;
    struct { char type; std::string fields; int want; } extents[] = {   // st_size is 512
        {'0', B("2\0\0\0" "3\0\0\0" "3720"), 2}, {'0', B("2\0\0\0" "3\0\0\0" "1000"), -1},
        {'0', B("4\0\0\0" "3\0\0\0" "3720"), -1}, {'5', B("2\0\0\0" "3\0\0\0" "3720"), -1}};
    for (const auto &c : extents) {
        fresh(kExtNumOff, c.fields, c.type);
        st.st_size = 512;
        short count = 0;
        int64_t total = 0;
        EXPECT_EQ(isextent(&count, &total), c.want);
        EXPECT_TRUE(c.want < 1 || (count == 3 && total == 2000));
    }
    struct { std::string magic; char type; int want; } magics[] = {
        {"ustar", '0', 'u'}, {"ustar", '\0', 0}, {"ustar  ", '0', 'u'}, {"ustar   ", '0', 0},
        {"GNUtar ", '0', 'G'}, {"GNUtar", '0', 'G'}, {"ustaR", '0', 0}, {"", '0', 0}};
    for (const auto &c : magics) EXPECT_EQ((fresh(kMagicOff, c.magic, c.type), ismagic()), c.want) << c.magic;
    const std::string types = B("\0" "01234567DMSVx"), letters = "   lcbdp D,?v?", data = "11000000111100";
    for (size_t i = 0; i < types.size(); i++)
        EXPECT_TRUE((fresh(0, "", types[i]), prefix() == letters[i] && usize() == data[i] - '0')) << i;
}

// A header without data for name, with text put in at off, checksum redone.
std::string hdr(const std::string &name, int off = 0, const std::string &text = "", char type = '0') {
    return tk::blocks({.name = name, .type = type}, static_cast<size_t>(off), text);
}
const std::string kEnd(kBlockSize, '\0');

// One read run over an archive file, as the driver sets it up, with the
// process-wide skipped-block counter at 0 and no overrides.
struct Read : ::testing::Test {
    char msg[kMessageSize] = {};
    tk::TempDir dir;
    void SetUp() override {
        nskipped = 0;
        mszErrMsg = msg;
        a_flag = c_flag = d_flag = t_flag = file_flag = perm_flag = uid_flag = gid_flag = 0;
    }
    void TearDown() override { _done(), mszErrMsg = nullptr; }
    void run(const std::string &bytes) {
        _done();
        tk::write_file(dir / "a.tar", bytes);
        cblock = 0;
        ASSERT_EQ(initape((dir / "a.tar").c_str()), 1);
        io_buf = io_2nd = getbuf(kRecordBytes);
        runtape();
        msg[0] = '\0';
    }
    static std::string name() { return at(0, strnlen(reinterpret_cast<char *>(hblock), kNameLen)); }
};

// Archive after archive in one process, the counter carried over on purpose;
// each call of gethead (quiet or not, in turn) shows as the name it accepted
// or as "result:counter"; the message field is checked per run.
TEST_F(Read, GetheadSkipsDamagedBlocksAndKeepsTheCounterAcrossRuns) {
    std::string letters = hdr("l"), offbyone = hdr("o");
    letters.replace(kChksumOff, 3, "abc");
    offbyone[kExtTotalOff + kExtTotalLen] = 1;  // a byte no field uses
    struct { std::string archive; int calls; const char *trace, *message; } runs[] = {
        {kEnd, 1, "0:0", ""},
        {letters + hdr("x") + offbyone + hdr("y") + hdr("s", kSizeOff, "12x") + hdr("z") + kEnd, 5,
         "x y 0:1 z 0:0", "bad directory structure"},
        {hdr("only"), 2, "only -1:0", "archive read error"},  // no end block at all
        {offbyone + hdr("s", kMtimeOff, "1x"), 1, "0:1", "directory checksum error"},
        {hdr("s", kModeOff, "x") + kEnd, 2, "0:2 -1:3", ""},  // only the first since the reset reports
        {hdr("g") + kEnd, 2, "g 0:0", ""}};
    for (const auto &r : runs) {
        run(r.archive);
        std::string trace;
        for (int i = 0; i < r.calls; i++) {
            int got = gethead(i % 2);
            trace += (i ? " " : "") + (got == 1 ? name() : std::to_string(got) + ":" + std::to_string(nskipped));
        }
        EXPECT_EQ(trace, r.trace);
        EXPECT_STREQ(msg, r.message) << r.trace;
    }
}

TEST_F(Read, GetheadFillsDevicesTailAndOverrides) {
    const std::string hex = "0x0000abcd" + std::string(4, '\0') + "000010ff";
    run(hdr("d", kDevMajorOff, B("10\0\0\0\0\0\0" "1\0"), '3') + hdr("h", kHexMarkOff, hex) +
        hdr("h5", kHexMarkOff, hex, '5') + hdr("o", kTailSizeOff, "17") + hdr("p", kModeOff, "0104644") + kEnd);
    ASSERT_EQ(gethead(0), 1);
    EXPECT_EQ(dmajor * 100 + dminor, 801);
    for (int64_t size : {0x10ff, 0, 017}) {
        ASSERT_EQ(gethead(0), 1);
        EXPECT_TRUE(codesize == size && longcsum == (size == 0x10ff ? 0xabcd : 0)) << size;
    }
    perm_flag = uid_flag = gid_flag = 1;
    mperm = 0700, muid = 5, mgid = 6;
    ASSERT_EQ(gethead(0), 1);
    EXPECT_TRUE(st.st_mode == 0100700u && st.st_uid == 5 && st.st_gid == 6);   // the file-type bits stay
}

// The match as its rules read, without any table: the reference that the
// memoised version must agree with on every small input.
int reference(const char *p, const char *t, int n) {
    if (*p == '\0' || n == 0) return (*p == '\0' && n == 0) ? 0 : 1;
    if (*p == '*') {
        while (*p == '*') p++;
        for (;; t++, n--)
            if (n == 0 || reference(p, t, n) == 0) return n == 0 && *p != '\0' ? 1 : 0;
    }
    return *p != '?' && *p != *t ? -1 : reference(p + 1, t + 1, n - 1);
}

TEST(Pattern, MismatchAgreesWithThePlainRulesAndFinishes) {
    // What the small inputs below do not reach: other bytes, bad arguments.
    struct { const char *pat, *text; int len, want; } cases[] = {
        {"*", "", 0, 1},   {"a*", "a", 1, 1},     {"b", "a/b", 3, -1}, {"*/b", "a/b", 3, 0}, {"a?b", "a/b", 3, 0},
        {"A", "a", 1, -1}, {"a", "ab", 1, 0},     {"a", "a", -1, 1},   {"*", nullptr, 0, 1}, {nullptr, "", 0, 0}};
    for (const auto &c : cases) EXPECT_EQ(mismatch(c.pat, c.text, c.len), c.want) << c.pat << " / " << c.len;
    // Every pattern of up to 5 of "ab*?" against every text of up to 6 of "ab".
    std::vector<std::string> pats{""}, texts{""};
    for (size_t i = 0; i < pats.size() && pats[i].size() < 5; i++)
        for (char c : std::string("ab*?")) pats.push_back(pats[i] + c);
    for (size_t i = 0; i < texts.size() && texts[i].size() < 6; i++)
        for (char c : std::string("ab")) texts.push_back(texts[i] + c);
    for (const auto &p : pats)
        for (const auto &t : texts)
            for (int n = 0; n <= static_cast<int>(t.size()); n++)
                ASSERT_EQ(mismatch(p.c_str(), t.c_str(), n), reference(p.c_str(), t.c_str(), n)) << p << " / " << t;
    // Without the table these take longer than any test timeout; beyond the
    // name and pattern limits the table comes from the heap.
    std::string name(100, 'a'), pat, huge(300, 'a');
    for (int i = 0; i < 48; i++) pat += "*a";
    EXPECT_EQ(mismatch((pat + "*b").c_str(), name.c_str(), 100), 1);
    EXPECT_EQ(mismatch((pat + "*b").c_str(), (name + "b").c_str(), 101), 0);
    EXPECT_EQ(mismatch((pat + pat + "*b").c_str(), huge.c_str(), 300), 1);
}

TEST(Pattern, InargsSelectsNamesAndWhatIsBelowThem) {
    std::string longname(100, 'x');
    struct { std::string pat, name; int want; } cases[] = {
        {"b", "a/b", 0},        {"*/b", "a/b", 1},     {"a?b", "a/b", 1},     {"dir", "dir", 1},
        {"dir", "dir/x", 1},    {"dir", "dirt", 0},    {"dir", "dir/", 1},    {"*.txt", "a.txt", 1},
        {"*.txt", "x/y.txt", 1}, {"/x", "/x/y", 1},    {"a/b", "a/b/c", 1},   {"a/b/c", "a/b", 0},
        {"", "a", 0},           {"a", "", 0},          {"*", longname, 1},    {"x", longname, 0},
        {"a*", "a", 0},         {"a*", "a/b", 1},      {"*a*a*a*a*a*a*a*a*a*a*a*b", std::string(100, 'a'), 0}};
    for (const auto &c : cases) EXPECT_EQ(inargs(c.pat.c_str(), c.name.c_str()), c.want) << c.pat << " / " << c.name;
}

TEST(Texts, PrmodeAndOkwork) {
    struct { int type, mode; const char *want; } modes[] = {
        {' ', 04755, " rwsr-xr-x"}, {' ', 01777, " rwxrwxrwt"}, {' ', 04644, " rwsr--r--"},
        {'d', 0755, "drwxr-xr-x"},  {'-', 0, "----------"},     {' ', 02750, " rwxr-s---"},
        {' ', 07000, " --s--s--t"}, {'l', 0100777, "lrwxrwxrwx"}};
    for (const auto &c : modes) EXPECT_STREQ(prmode(c.type, c.mode), c.want) << std::oct << c.mode;
    tk::TempDir dir;   // okwork's line in a trace of the entry points' mode; the type from the mode for ' '
    OrvLogInit(), OrvLogOpen((dir / "t").c_str(), 1), OrvLogSetMode(2), OrvLogSetLevel(5);
    struct { int type; unsigned mode; const char *shown; } works[] = {
        {' ', S_IFDIR | 0755, "drwxr-xr-x"}, {' ', S_IFIFO | 0644, "prw-r--r--"}, {' ', S_IFCHR | 0600, "crw-------"},
        {' ', S_IFBLK | 0600, "brw-------"}, {' ', S_IFLNK | 0777, "lrwxrwxrwx"}, {' ', S_IFREG | 0644, " rw-r--r--"},
        {' ', 0644, " rw-r--r--"},           {' ', S_IFSOCK | 0755, "?rwxr-xr-x"}, {',', S_IFREG | 0640, ",rw-r-----"}};
    std::string want;
    for (const auto &c : works) {
        struct stat s = {};
        s.st_mode = c.mode, s.st_uid = 12, s.st_gid = 3, s.st_size = 1234567;
        EXPECT_EQ(okwork('x', c.type, &s, "d/n"), 1);
        want += std::string("x ") + c.shown + "  12/3 1234567 d/n\n\n";
    }
    OrvLogClose();
    EXPECT_EQ(tk::read_file(dir / "t"), want);
}

// The names from the head, checking that both directions agree.
std::string names(ITEM *head) {
    std::string out;
    for (ITEM *n = head, *prev = nullptr; n; prev = n, n = n->next) out += (n->prev == prev ? "" : "!") + std::string(n->name);
    return out;
}

ITEM *items(const std::vector<const char *> &add) {
    ITEM *head = nullptr, *at = nullptr;
    for (const char *n : add) EXPECT_TRUE(!finditem(n, &at, head) && additem(n, at, &head)) << n;
    return head;
}

TEST(Items, TimeListKeepsNamesInByteOrder) {
    ITEM *head = items({"b", "a", "c", "\xe9", "B"}), *at = nullptr;
    EXPECT_EQ(names(head), "Babc\xe9");   // bytes compare unsigned
    for (const char *n : {"a", "b", "c"}) {
        ITEM *found = finditem(n, &at, head);
        EXPECT_TRUE(found && std::string(found->name) == n && at == found->prev) << n;  // at: the node before
    }
    EXPECT_TRUE(!finditem("bb", &at, head) && std::string(at->name) == "b");
    timehead = head;
    _done();
    for (std::string gone : {"a", "b", "c"}) {   // unlinked at the head, in the middle, at the tail
        linkhead = items({"a", "b", "c"});
        delitem(finditem(gone.c_str(), &at, linkhead), &linkhead);
        EXPECT_EQ(names(linkhead), std::string("abc").erase(gone[0] - 'a', 1));
        _done();
    }
    delitem(head = items({"only"}), &head);
    EXPECT_EQ(head, nullptr);
}

// A delete run left half way (two descriptors, an open scratch file, two
// buffers, list nodes), then a read run (one descriptor, one buffer).
TEST(Items, DoneReleasesEverythingOnceAndRemovesAnOpenScratchFile) {
    tk::TempDir dir;
    tk::write_file(dir / "a.tar", std::string(1024, '\0'));
    int fds = tk::count_fds();
    handle = open((dir / "a.tar").c_str(), O_RDONLY);
    scratch = static_cast<char *>(malloc(kStorePathSize));
    snprintf(scratch, kStorePathSize, "%s", (dir / "XXXXXX").c_str());
    ASSERT_GE(hwrite = z9_mkstemp(scratch), 0);
    io_buf = getbuf(kRecordBytes), io_2nd = getbuf(kRecordBytes);
    additem("t", nullptr, &timehead), additem("l", nullptr, &linkhead);
    _done();
    _done();
    EXPECT_EQ(tk::list_dir(dir.path()), std::vector<std::string>{"a.tar"});
    EXPECT_TRUE(handle == -1 && hwrite == -1 && !scratch && !io_buf && !io_2nd && !timehead && !linkhead);
    hwrite = handle = open((dir / "a.tar").c_str(), O_RDONLY);
    io_2nd = io_buf = getbuf(kRecordBytes);
    _done();
    EXPECT_EQ(tk::count_fds(), fds);
    EXPECT_TRUE(handle == -1 && hwrite == -1 && !io_buf && !io_2nd);
}

}  // namespace
