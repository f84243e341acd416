// catalog_test.cpp - the listing of "-CAT" as the trace shows it: the exact
// entries per member type for archives made by GNU tar and by hand, the
// totals line, the pattern rules, and the listing's failure paths.
#include <gtest/gtest.h>
#include <sys/stat.h>

#include <regex>
#include <string>
#include <vector>

#include "tar/format.h"
#include "tests/testkit/testkit.h"

namespace {

struct Listed {
    int rc;
    std::string message, entries, totals;
};

// Lists an archive through the entry point and splits the trace into the
// listing entries (without the header reader's field lines, the block size
// and the skip lines) and the totals line.
Listed list(const tk::TempDir &dir, const std::string &archive, const std::string &member = "") {
    std::string trace = dir / "trace.txt";
    tk::Call call("-ARCHIVE " + archive + " -CAT" + (member.empty() ? "" : " -MEMBER " + member) + " -T " + trace);
    Listed out{call.get(), call.message(), "", ""};
    std::string text = tk::trace_text(trace);
    size_t from = text.find("successfully\n\n"), to = text.find("Total ");
    if (from == std::string::npos || to == std::string::npos) return out;
    std::string body = text.substr(from + 14, to - from - 14);
    out.entries = std::regex_replace(
        body, std::regex("(name=|blocksize = |blocks to read in this file )[^\\n]*\\n\\n\\n(\\n\\n)?"), "");
    out.totals = text.substr(to, text.find('\n', to) - to);
    return out;
}

// GNU tar's three formats over the same files: the same listing, except
// that the oldest format cannot hold a device.
TEST(CatalogGnu, EntriesPerTypeInEveryFormat) {
    tk::TempDir dir;
    std::string d = dir.path();
    ASSERT_EQ(tk::sh("cd " + d + " && mkdir docs && head -c 1234 /dev/zero > docs/a.txt && chmod 644 docs/a.txt"
                     " && ln docs/a.txt hard && ln -s docs/a.txt sym"), 0);
    bool device = tk::sh("mknod " + d + "/cdev c 1 3 2>/dev/null && chmod 644 " + d + "/cdev") == 0;
    for (std::string format : {"v7", "ustar", "gnu"}) {
        bool dev = device && format != "v7";
        std::string tar = dir / (format + ".tar");
        ASSERT_EQ(tk::sh("tar -C " + d + " --format=" + format + " --owner=0 --group=0 --mtime=@1000000000 -cf " +
                         tar + " docs/a.txt hard sym" + (dev ? " cdev" : "")), 0);
        Listed l = list(dir, tar);
        EXPECT_EQ(l.rc, 0);
        EXPECT_EQ(l.message, "GetArchive_succeeded");
        EXPECT_EQ(l.entries, std::string(" rw-r--r--   0/0    1234  docs/a.txt\n\n"
                                         " rw-r--r--   0/0       0  hard\n\n linked to docs/a.txt\n\n"
                                         "lrwxrwxrwx   0/0       0  sym\n\n symlink to docs/a.txt\n\n") +
                                 (dev ? "crw-r--r--   0/0   1,3    cdev\n\n" : ""))
            << format;
        EXPECT_EQ(l.totals, std::string("Total ") + (dev ? "4" : "3") + " file(s) for 1234 bytes in 20 tape blocks");
    }
}

tk::Member member(const std::string &name, char type, size_t size = 0) {
    tk::Member m;
    m.name = name, m.type = type, m.data = tk::pattern_bytes(size);
    return m;
}

// A header with bytes put in after the builder, checksum made again.
std::string patched(const tk::Member &m, int off, const std::string &bytes) {
    std::string h = tk::TarBuilder::header(m);
    h.replace(static_cast<size_t>(off), bytes.size(), bytes);
    tk::TarBuilder::set_checksum(h);
    return h + m.data + std::string((kBlockSize - m.data.size() % kBlockSize) % kBlockSize, '\0');
}

TEST(CatalogByHand, EntriesPerTypeMagicExtentAndTail) {
    tk::TempDir dir;
    std::string name100(kNameLen, 'n'), link100(kLinkLen, 'l');
    tk::Member cont = member("cont", 'M', 512), extent = member("part", '0', 512), bad_extent = extent;
    bad_extent.name = "nopart";
    tk::Member tail = member("coded", '0', 5), bdev = member("bdev", '4'), dir5 = member("dir/", '5');
    bdev.major = 8, bdev.minor = 1, dir5.mode = 0755;
    tk::Member ustar0 = member("u0", '0', 1), ustar_nul = member("unul", '\0', 1), foreign = member("xyz", '0');
    ustar0.magic = ustar_nul.magic = "ustar  ";
    foreign.magic = "XYZ";
    tk::Member owner = member(name100, '0'), sym = member("s", '2');
    owner.uid = 1000, owner.gid = 100, sym.link = link100, sym.mode = 0777;
    sym.magic = "ustar  ";   // right behind the unterminated link name
    std::string archive = tk::TarBuilder()
                              .raw(patched(cont, kStartOff, "00000001750"))           // starts at 1000
                              .add(member("sparse", 'S', 700))
                              .raw(patched(extent, kExtNumOff, std::string("2\0\0\0" "3\0\0\0" "3720", 12)))
                              .raw(patched(bad_extent, kExtNumOff, std::string("4\0\0\0" "3\0\0\0" "3720", 12)))
                              .raw(patched(tail, kTailSizeOff, "4000 "))                // coded size 2048
                              .add(bdev).add(dir5).add(member("odd", 'Q'))
                              .add(ustar0).add(ustar_nul).add(foreign).add(owner).add(sym)
                              .finish();
    tk::write_file(dir / "a.tar", archive);
    Listed l = list(dir, dir / "a.tar");
    EXPECT_EQ(l.rc, 0);
    EXPECT_EQ(l.entries, ",rw-r--r--   0/0     512  cont\n\n[from 1000 to 1511]\n\n"
                         "?rw-r--r--   0/0     700  sparse\n\nunknown file type 'S'\n\n\n"
                         " rw-r--r--   0/0     512  part\n\n [extent #2 of 3]\n\n 2000 bytes total\n\n"
                         " rw-r--r--   0/0     512  nopart\n\n> 4\n\n"
                         " rw-r--r--   0/0    2048  coded\n\n"
                         "brw-r--r--   0/0   8,1    bdev\n\n"
                         "drwxr-xr-x   0/0       0  dir/\n\n"
                         "?rw-r--r--   0/0       0  odd\n\nunknown file type 'Q'\n\n\n"
                         " rw-r--r--   0/0       1  u0\n\n"
                         " rw-r--r--   0/0       1  unul\n\n> ustar  \n\n"
                         " rw-r--r--   0/0       0  xyz\n\n> XYZ\n\n"
                         " rw-r--r-- 1000/100       0  " + name100 + "\n\n"
                         "lrwxrwxrwx   0/0       0  s\n\n symlink to " + link100 + "\n\n");
    // Sizes counted as shown: 512 + 700 + 512 + 512 + 2048 + 1 + 1 + 0.
    EXPECT_EQ(l.totals, "Total 13 file(s) for 4286 bytes in " + std::to_string(archive.size() / kBlockSize) +
                            " tape blocks");
}

TEST(CatalogPattern, SelectsByTheRulesTotalsCountOnlyTheListed) {
    tk::TempDir dir;
    std::vector<std::string> names{"b", "a/b", "a/c", "axb", "dir", "dir/x", "dirt", "a.txt", "x/y.txt"};
    tk::TarBuilder builder;
    for (const auto &n : names) builder.file(n, "0123456789");
    tk::write_file(dir / "p.tar", builder.finish());
    struct { std::string pattern; std::vector<std::string> listed; } cases[] = {
        {"", names},         {"b", {"b"}},  {"*/b", {"a/b"}}, {"a?b", {"a/b", "axb"}}, {"dir", {"dir", "dir/x"}},
        {"*.txt", {"a.txt", "x/y.txt"}},    {"nothing", {}}};
    for (const auto &c : cases) {
        Listed l = list(dir, dir / "p.tar", c.pattern);
        std::string want;
        for (const auto &n : c.listed) want += " rw-r--r--   0/0      10  " + n + "\n\n";
        EXPECT_EQ(l.rc, 0) << c.pattern;
        EXPECT_EQ(l.entries, want) << c.pattern;
        // Every block of the archive is read whatever the pattern selects.
        EXPECT_EQ(l.totals, "Total " + std::to_string(c.listed.size()) + " file(s) for " +
                                std::to_string(10 * c.listed.size()) + " bytes in 20 tape blocks")
            << c.pattern;
    }
}

TEST(CatalogFailure, ArchiveEndingInsideDataFailsAfterTheTotals) {
    tk::TempDir dir;
    std::string bytes = tk::TarBuilder().file("a", "x").add(member("big", '0', 5000)).finish(0);
    tk::write_file(dir / "t.tar", bytes.substr(0, 6 * kBlockSize));   // 3 of big's 10 data blocks
    for (std::string pattern : {"", "a"}) {   // listed, or passed over by the walk
        Listed l = list(dir, dir / "t.tar", pattern);
        EXPECT_EQ(l.rc, -1);
        EXPECT_EQ(l.message, "zero bytes read, expected 10 blocks, blocks left 7\n");
        EXPECT_EQ(l.totals, "Total 1 file(s) for 1 bytes in 6 tape blocks");
    }
}

TEST(CatalogFailure, HeaderWithABadFieldEndsTheListingWithSuccess) {
    tk::TempDir dir;
    std::string bad = patched(member("bad", '0'), kSizeOff, "12x");
    tk::write_file(dir / "b.tar", tk::TarBuilder().file("good", "x").raw(bad).file("after", "y").finish());
    Listed l = list(dir, dir / "b.tar");
    EXPECT_EQ(l.rc, 0);
    EXPECT_EQ(l.message, "GetArchive_succeeded");
    EXPECT_EQ(l.totals.substr(0, 29), "Total 1 file(s) for 1 bytes i");
    EXPECT_EQ(l.entries.find(" rw-r--r--   0/0       1  good\n\n"), 0u);
    EXPECT_EQ(l.entries.find("after"), std::string::npos);
}

}  // namespace
