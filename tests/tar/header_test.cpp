// header_test.cpp - the header codec on crafted blocks (field parsers and
// forms, checksum, predicates), and gethead/newhead over archive files.
#include <gtest/gtest.h>
#include <unistd.h>
#include <cstdlib>
#include <cstring>
#include "adapter/adapter.h"
#include "tape/tape.h"
#include "tar/tar.h"
#include "tests/testkit/testkit.h"

template <size_t N> static std::string B(const char (&s)[N]) { return std::string(s, N - 1); }
static unsigned char blk[kBlockSize];
// Makes blk the current header: zero bytes, the typeflag, text at off.
static unsigned char *fresh(int off = 0, const std::string &text = "", char type = '0') {
    memset(blk, 0, sizeof blk);
    blk[kTypeOff] = static_cast<unsigned char>(type);
    memcpy(blk + off, text.data(), text.size());
    return (hblock = blk) + off;
}
static std::string at(int off, size_t n) { return std::string(reinterpret_cast<char *>(hblock) + off, n); }

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
        EXPECT_EQ(c.kind == 0 ? s : l, c.value) << c.text;
        EXPECT_EQ(bad, c.bad) << c.text;
    }
    unsigned char alone[kModeLen];  // outside the header: nothing past the field is read
    memset(alone, ' ', sizeof alone);
    short v = 5;
    EXPECT_EQ(soctus(alone, &v), 1);
    EXPECT_EQ(v, 0);
}

TEST(HeaderCodec, WritesOctalForms) {
    struct { int value; char last; std::string want; } cases[] = {
        {0644, ' ', B("   644 \0")}, {32768, ' ', B("700000 \0")}, {65534, ' ', B("777776 \0")},
        {70000, ' ', B(" 10560 \0")}, {04755, ' ', B("  4755 \0")}, {0, '\0', B("     0\0\0")}};
    for (const auto &c : cases) {
        short back = 0;
        procts(fresh(kUidOff), static_cast<short>(c.value), c.last);
        EXPECT_EQ(at(kUidOff, kUidLen), c.want);
        EXPECT_EQ(soctus(hblock + kUidOff, &back), 0);
        EXPECT_EQ(back, static_cast<short>(c.value));
    }
    proctl(fresh(kSizeOff), kMaxMemberSize);  // the widest size; 5 and 0 are in the newhead test
    EXPECT_EQ(at(kSizeOff, kSizeLen), "77777777777 ");
    memset(blk, 0xFF, kBlockSize);  // bytes count unsigned, the checksum field as spaces
    EXPECT_EQ(headsum(blk), static_cast<short>(504 * 255 + 8 * ' '));
}

TEST(HeaderCodec, ExtentFields) {
    struct { std::string text; int want; } texts[] = {{"2", 1}, {"123", 1}, {"2 ", 1}, {"1234", 0},
                                                      {"", 0}, {"2  ", 0}, {B("2\0x"), 0}};
    for (const auto &c : texts) EXPECT_EQ(isoctal(fresh(kExtNumOff, c.text), kExtNumLen), c.want) << c.text;
    struct { char type, num; const char *total; int want; } cases[] = {
        {'0', '2', "3720", 2}, {'0', '2', "1000", -1}, {'0', '4', "3720", -1}, {'5', '2', "3720", -1}};
    for (const auto &c : cases) {
        fresh(kExtTotalOff, c.total, c.type);
        blk[kExtNumOff] = static_cast<unsigned char>(c.num);
        blk[kExtCountOff] = '3';
        st.st_size = 512;
        short count = 0;
        int64_t total = 0;
        EXPECT_EQ(isextent(&count, &total), c.want);
        EXPECT_TRUE(c.want < 1 || (count == 3 && total == 2000));
    }
}

TEST(HeaderCodec, MagicsAndTypes) {
    struct { std::string magic; char type; int want; } magics[] = {
        {"ustar", '0', 'u'}, {"ustar", '\0', 0}, {"ustar  ", '0', 'u'}, {"ustar   ", '0', 0},
        {"GNUtar ", '0', 'G'}, {"GNUtar", '0', 'G'}, {"ustaR", '0', 0}, {"", '0', 0}};
    for (const auto &c : magics) {
        fresh(kMagicOff, c.magic, c.type);
        EXPECT_EQ(ismagic(), c.want) << c.magic;
    }
    const std::string types = B("\0" "01234567DMSVx"), letters = "   lcbdp D,?v?", data = "11000000111100";
    for (size_t i = 0; i < types.size(); i++) {
        fresh(0, "", types[i]);
        EXPECT_EQ(prefix(), letters[i]) << i;
        EXPECT_EQ(usize(), data[i] - '0') << i;
    }
}

// A header without data for name, with text put at off and the checksum redone.
static std::string hdr(const std::string &name, int off = 0, const std::string &text = "", char type = '0') {
    tk::Member m;
    m.name = name;
    m.type = type;
    std::string b = tk::TarBuilder::header(m);
    b.replace(static_cast<size_t>(off), text.size(), text);
    tk::TarBuilder::set_checksum(b);
    return b;
}
static const std::string kEnd(kBlockSize, '\0');

// Every test starts with the process-wide skipped-block counter at 0 and no
// overrides. run() opens an archive file as the driver does.
class Reader : public ::testing::Test {
protected:
    char msg[kMessageSize] = {};
    tk::TempDir dir;
    void SetUp() override {
        nskipped = 0;
        mszErrMsg = msg;
        a_flag = c_flag = d_flag = t_flag = file_flag = perm_flag = uid_flag = gid_flag = 0;
    }
    void TearDown() override { close_run(); }
    bool run(const std::string &bytes, bool create = false) {
        close_run();
        if (!create) tk::write_file(dir / "a.tar", bytes);
        cblock = 0;
        a_flag = c_flag = create;
        if (initape((dir / "a.tar").c_str()) != 1) return false;
        io_buf = io_2nd = getbuf(kRecordBytes);
        return io_buf && runtape() == 1;
    }
    void close_run() {
        if (handle >= 0) close(handle);
        handle = hwrite = -1;
        free(io_buf);
        io_buf = io_2nd = nullptr;
    }
    static std::string name() { return at(0, strnlen(reinterpret_cast<char *>(hblock), kNameLen)); }
};

// Runs archive after archive in one process, the counter carried over on
// purpose; each call of gethead (quiet or not, in turn) shows as the name it
// accepted or as "result:counter"; the message field is checked per run.
TEST_F(Reader, SkipsDamagedBlocksAndKeepsTheCounterAcrossRuns) {
    std::string letters = hdr("l"), offbyone = hdr("o");
    letters.replace(kChksumOff, 3, "abc");
    offbyone[kExtTotalOff + kExtTotalLen] = 1;  // a byte no field uses
    struct { std::string archive; int calls; const char *trace, *message; } runs[] = {
        {kEnd, 1, "0:0", ""},
        {letters + hdr("x") + offbyone + hdr("y") + hdr("s", kSizeOff, "12x") + hdr("z") + kEnd, 5,
         "x y 0:1 z 0:0", "bad directory structure"},
        {hdr("only"), 2, "only -1:0", nullptr},  // no end block at all
        {offbyone + hdr("s", kMtimeOff, "1x"), 1, "0:1", "directory checksum error"},
        {hdr("s", kModeOff, "x") + kEnd, 2, "0:2 -1:3", ""},  // only the first since the reset reports
        {hdr("g") + kEnd, 2, "g 0:0", ""}};
    for (const auto &r : runs) {
        ASSERT_TRUE(run(r.archive));
        msg[0] = '\0';
        std::string trace;
        for (int i = 0; i < r.calls; i++) {
            int got = gethead(i % 2);
            trace += (i ? " " : "") + (got == 1 ? name() : std::to_string(got) + ":" + std::to_string(nskipped));
        }
        EXPECT_EQ(trace, r.trace);
        if (r.message) {
            EXPECT_STREQ(msg, r.message) << r.trace;
        }
    }
}

TEST_F(Reader, FillsDevicesTailAndOverrides) {
    const std::string hex = "0x0000abcd" + std::string(4, '\0') + "000010ff";
    ASSERT_TRUE(run(hdr("d", kDevMajorOff, B("10\0\0\0\0\0\0" "1\0"), '3') + hdr("h", kHexMarkOff, hex) +
                    hdr("h5", kHexMarkOff, hex, '5') + hdr("o", kTailSizeOff, "17") + hdr("p", kModeOff, "0104644") + kEnd));
    ASSERT_EQ(gethead(0), 1);
    EXPECT_EQ(dmajor * 100 + dminor, 801);
    for (int64_t size : {0x10ff, 0, 017}) {
        ASSERT_EQ(gethead(0), 1);
        EXPECT_EQ(codesize, size);
        EXPECT_EQ(longcsum, size == 0x10ff ? 0xabcd : 0);
    }
    perm_flag = uid_flag = gid_flag = 1;
    mperm = 0700, muid = 5, mgid = 6;
    ASSERT_EQ(gethead(0), 1);
    EXPECT_EQ(st.st_mode, 0100700u);  // the file-type bits stay
    EXPECT_EQ(st.st_uid * 10 + st.st_gid, 56u);
}

TEST_F(Reader, NewheadWritesWhatTheReaderTakesBack) {
    ASSERT_TRUE(run("", true));
    st = {};
    st.st_mode = 0100644;
    ASSERT_EQ(newhead("a.txt", 5), 1);
    prcsum(hblock);
    EXPECT_EQ(at(kNameOff, kNameLen), "a.txt" + std::string(kNameLen - 5, '\0'));
    EXPECT_EQ(at(kModeOff, 56), B("   644 \0     0 \0     0 \0") + "          5 " + "          0 " + B("  4422\0\0"));
    unsigned char *data = steptape();
    ASSERT_NE(data, nullptr);
    nullblock(data);
    st.st_uid = 32768, st.st_gid = 70000;
    const std::string longname(kNameLen + 5, 'n');
    ASSERT_EQ(newhead(longname.c_str(), 0), 1);
    prcsum(hblock);
    ASSERT_EQ(endtape(), 1);
    ASSERT_TRUE(run(tk::read_file(dir / "a.tar")));
    ASSERT_EQ(gethead(0), 1);
    ASSERT_NE(readtape(), nullptr);
    ASSERT_EQ(gethead(0), 1);
    EXPECT_EQ(name(), longname.substr(0, kNameLen));
    EXPECT_EQ(st.st_uid, 32768u);
    EXPECT_EQ(st.st_gid, 4464u);
    EXPECT_EQ(gethead(0), 0);
}
