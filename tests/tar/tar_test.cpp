// tar_test.cpp - the tar engine's routines on their own: the header field
// parsers on crafted blocks, and the pattern match against a plain reference.
#include <gtest/gtest.h>

#include "tar/posix.h"
#include "tar/tar.h"

namespace {

// The three field parsers alike: whether the field is bad, and the value read
// (a braced list is evaluated left to right: the value is read after the parse).
using Parsed = std::pair<int, int64_t>;
Parsed octal_short(const unsigned char *p) { short v = 0; return {soctus(p, &v), v}; }
Parsed octal_long(const unsigned char *p) { int64_t v = 0; return {soctul(p, &v), v}; }
Parsed hex_long(const unsigned char *p) { int64_t v = 0; return {shexul(p, &v), v}; }
struct Field { Parsed (*parse)(const unsigned char *); int off; };
const Field kMode = {octal_short, kModeOff}, kShortAtEnd = {octal_short, kBlockSize - 8},
            kSize = {octal_long, kSizeOff}, kLongAtEnd = {octal_long, kBlockSize - 6},
            kHex = {hex_long, kHexSizeOff};
constexpr int kGood = 0, kBad = 1;

// Text at a field of an otherwise zero header: leading blanks may run on to
// the end of the block, digits stop at the width, a blank or zero byte ends them.
TEST(HeaderCodec, ReadsNumericFields) {
    struct { Field field; std::string text; int64_t value; int bad; } cases[] = {
        {kMode, {"000644 \0", 8}, 0644, kGood},  {kMode, "0000644", 0644, kGood},
        {kMode, "00000644", 064, kBad},           {kMode, "", 0, kGood},
        {kMode, "12x", 10, kBad},                 {kMode, "18 ", 1, kBad},
        {kMode, "700000", -32768, kGood},         {kMode, "        644 ", 0644, kGood},
        {kShortAtEnd, "        ", 0, kBad},       {kSize, "12x", 10, kBad},
        {kSize, "77777777777 ", kMaxMemberSize, kGood},
        {kSize, "777777777777", kMaxMemberSize, kBad},
        {kLongAtEnd, "777777", 0777777, kBad},    {kHex, "0000abCD", 0xabcd, kGood},
        {{hex_long, kHexSumOff}, "123456789", 0x12345678, kBad}};
    unsigned char block[kBlockSize];
    for (const auto &c : cases) {
        memset(block, 0, sizeof block);
        memcpy(block + c.field.off, c.text.data(), c.text.size());
        hblock = block;
        EXPECT_EQ(c.field.parse(block + c.field.off), Parsed(c.bad, c.value)) << c.text;
    }
    unsigned char alone[kModeLen];   // outside the header: nothing past the field is read
    memset(alone, ' ', sizeof alone);
    EXPECT_EQ(octal_short(alone), Parsed(kBad, 0));
}

// The modern dialect's codecs: base-256 numbers (sign, what fits 64 bits),
// pax records (the length counts itself; a negative time with a fraction),
// the ustar split (prefix at most 155 bytes, name at most 100).
TEST(PosixCodec, NumbersRecordsAndSplits) {
    using B = std::vector<unsigned char>;
    struct { B field; bool ok; int64_t value; } numbers[] = {
        {{0x80, 0, 0, 1}, true, 1},          {{0xff, 0xff, 0xff, 0xfe}, true, -2},
        {{0x80, 0x80, 0, 0, 0, 0, 0, 0, 0}, false, 0},   // past 63 bits
        {{0x80, 0, 0, 0x7f, 0xff, 0xff, 0xff, 0xff, 0xff, 0xff, 0xff}, true, INT64_MAX},
        {{'0', '7'}, false, 0}};
    for (const auto &n : numbers) {
        int64_t v = 0;
        EXPECT_EQ(base256(n.field, &v), n.ok);
        EXPECT_EQ(v, n.ok ? n.value : v);
    }
    char rec[128];
    EXPECT_EQ(std::string(rec, pax_record(rec, sizeof rec, "path", "a")), "9 path=a\n");
    size_t len = pax_record(rec, sizeof rec, "k", std::string(94, 'v'));   // 2 digits make it 3
    EXPECT_EQ(std::string(rec, 4) + std::to_string(len), "101 101");
    PaxAttrs a;
    const char *why = "";
    std::string r = "14 mtime=-1.5\n";
    ASSERT_TRUE(pax_parse({reinterpret_cast<const unsigned char *>(r.data()), r.size()}, &a, &why));
    EXPECT_TRUE(a.mtime.tv_sec == -2 && a.mtime.tv_nsec == 500000000);
    // Read a byte at a time as whole: an unknown value is not held, a
    // malformed one of a used key is passed over with a word to the caller.
    static std::string told;
    PaxAttrs b;
    b.ignored = [](std::string_view k, std::string_view v) { told = std::string(k) + "=" + std::string(v); };
    PaxReader reader;
    reader.attrs = &b;
    std::string recs = "12 uid=1234\n1000017 comment=" + std::string(1000000, 'c') + "\n12 mtime=1x\n";
    for (char c : recs) ASSERT_TRUE(pax_feed(&reader, {reinterpret_cast<unsigned char *>(&c), 1}, &why));
    EXPECT_TRUE(pax_end(&reader, &why) && b.uid == 1234 && !b.has_mtime && reader.value_cap <= 256);
    EXPECT_EQ("mtime=1x", told);
    pax_reader_free(&reader);
    std::string p(256, 'p');
    p[155] = '/';
    EXPECT_EQ(ustar_split(p), 155);
    p[155] = 'p', p[156] = '/';
    EXPECT_EQ(ustar_split(p.substr(0, 256)), -1);
}

// The match as its rules read: the reference that the one-pass version must
// agree with on every small input.
int reference(const char *p, const char *t, int n) {
    if (*p == '\0' || n == 0) return (*p == '\0' && n == 0) ? 0 : 1;
    if (*p == '*') {
        while (*p == '*') p++;
        for (int k = 0; k < n; k++)
            if (reference(p, t + k, n - k) == 0) return 0;
        return *p == '\0' ? 0 : 1;   // the stars take the whole rest of the text
    }
    return *p != '?' && *p != *t ? -1 : reference(p + 1, t + 1, n - 1);
}

TEST(Pattern, MismatchAgreesWithThePlainRulesAndFinishes) {
    // What the small inputs below do not reach: other bytes, bad arguments.
    struct { const char *pat, *text; int len, want; } cases[] = {
        {"*", "", 0, 1},   {"a*", "a", 1, 1}, {"b", "a/b", 3, -1}, {"*/b", "a/b", 3, 0},
        {"A", "a", 1, -1}, {"a", "ab", 1, 0}, {"a", "a", -1, 1},   {"*", nullptr, 0, 1},
        {nullptr, "", 0, 0}};
    for (const auto &c : cases) EXPECT_EQ(mismatch(c.pat, c.text, c.len), c.want) << c.pat << c.len;
    // Every pattern of up to 5 of "ab*?" against every text of up to 6 of "ab".
    std::vector<std::string> pats{""}, texts{""};
    for (size_t i = 0; i < pats.size() && pats[i].size() < 5; i++)
        for (char c : std::string("ab*?")) pats.push_back(pats[i] + c);
    for (size_t i = 0; i < texts.size() && texts[i].size() < 6; i++)
        for (char c : std::string("ab")) texts.push_back(texts[i] + c);
    for (const auto &p : pats) {
        SCOPED_TRACE(p);
        for (const auto &t : texts)
            for (int n = 0; n <= std::ssize(t); n++)
                ASSERT_EQ(mismatch(p.data(), t.data(), n), reference(p.data(), t.data(), n)) << t;
    }
    // Without the table these take longer than any test timeout; beyond the
    // name and pattern limits the table comes from the heap.
    std::string name(100, 'a'), pat, huge(300, 'a');
    for (int i = 0; i < 48; i++) pat += "*a";
    EXPECT_EQ(mismatch((pat + "*b").c_str(), name.c_str(), 100), 1);
    EXPECT_EQ(mismatch((pat + "*b").c_str(), (name + "b").c_str(), 101), 0);
    EXPECT_EQ(mismatch((pat + pat + "*b").c_str(), huge.c_str(), 300), 1);
}

// A pattern selects the whole name, or the name cut just before a slash.
TEST(Pattern, InargsSelectsNamesAndWhatIsBelowThem) {
    std::string longname(100, 'x'), a100(100, 'a');
    struct { std::string pat, name; int want; } cases[] = {
        {"b", "a/b", 0},         {"*/b", "a/b", 1},  {"a?b", "a/b", 1},   {"dir", "dir", 1},
        {"dir", "dir/x", 1},     {"dir", "dirt", 0}, {"dir", "dir/", 1},  {"*.txt", "a.txt", 1},
        {"*.txt", "x/y.txt", 1}, {"/x", "/x/y", 1},  {"a/b", "a/b/c", 1}, {"a/b/c", "a/b", 0},
        {"", "a", 0},            {"a", "", 0},       {"*", longname, 1},  {"x", longname, 0},
        {"a*", "a", 0},          {"a*", "a/b", 1},   {"*a*a*a*a*a*a*a*a*a*a*a*b", a100, 0}};
    for (const auto &c : cases)
        EXPECT_EQ(inargs(c.pat.c_str(), c.name.c_str()), c.want) << c.pat << " " << c.name;
}

}  // namespace
