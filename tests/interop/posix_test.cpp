// posix_test.cpp - -POSIX against GNU tar and Python: their archives with long
// names, pax records, the ustar prefix and big numbers listed, extracted,
// deleted from and replaced in; a tree of long paths written and read back;
// a member past 8 GiB described right.
#include <gtest/gtest.h>
#include <signal.h>
#include <sys/stat.h>

#include "tar/format.h"
#include "testkit/testkit.h"

namespace {

// The tree: files whose paths are 99 to 1000 bytes long (tagged fNNN at their
// end), a non-ASCII name, a symbolic link and a hard link with long targets,
// an owner beyond the octal field, an mtime with a fraction. The ustar rows
// leave out what that format cannot hold.
const char kTree[] = R"(
import os, sys
def path(n, tag):
    p = list('x' * (n - len(tag)) + tag)
    for i in range(49, n - len(tag) - 1, 50): p[i] = '/'
    return ''.join(p)
ustar = sys.argv[1] == 'ustar'
for n in (99, 100, 101, 155) + (() if ustar else (256, 1000)):
    p = path(n, 'f%03d' % n); os.makedirs(os.path.dirname(p) or '.', exist_ok=True)
    open(p, 'w').write('data of %d\n' % n * n)
open('s', 'w').write('short'); open('\u00fc-f200', 'w').write('umlaut')
os.symlink(path(155, 'f155'), 'sl') if not ustar else None
os.link(path(99 if ustar else 1000, 'f099' if ustar else 'f1000'), 'zl')  # after its target
open('frac', 'w').write('f'); os.utime('frac', ns=(1700000000500000000,) * 2)
if not ustar: open('big', 'w').write('u'); os.chown('big', 3000000, 0)
)";

struct Maker {
    const char *name, *write;
};
const Maker kMakers[] = {
    {"gnu", "tar --format=gnu -cf ../a.tar *"},
    {"posix", "tar --format=posix -cf ../a.tar *"},
    {"ustar", "tar --format=ustar -cf ../a.tar *"},
    {"py-gnu",
     "python3 -c 'import tarfile as t, os; a = t.open(\"../a.tar\", \"w\", format=t.GNU_FORMAT); "
     "[a.add(n) for n in sorted(os.listdir())]; a.close()'"},
    {"py-pax",
     "python3 -c 'import tarfile as t, os; a = t.open(\"../a.tar\", \"w\", format=t.PAX_FORMAT); "
     "[a.add(n) for n in sorted(os.listdir())]; a.close()'"},
    {"py-ustar",
     "python3 -c 'import tarfile as t, os; a = t.open(\"../a.tar\", \"w\", format=t.USTAR_FORMAT); "
     "[a.add(n) for n in sorted(os.listdir())]; a.close()'"},
};

void make_tree(const std::string &maker) {
    ASSERT_EQ(0, mkdir("src", 0755));
    tk::write_file("src/tree.py", kTree);
    bool ustar = maker.find("ustar") != std::string::npos;
    ASSERT_EQ(0, tk::sh(std::string("cd src && python3 tree.py ") + (ustar ? "ustar" : "any") +
                        " && rm tree.py"));
}

// The -POSIX listing shows each member as the other reader does; each regular
// member comes back from memory with its bytes.
void expect_read(const std::vector<tk::Seen> &seen, const std::string &archive) {
    tk::Call cat("-ARCHIVE " + archive + " -CAT -POSIX -T cat.log");
    ASSERT_EQ(tk::kGot, cat.get());
    std::string trace = tk::read_file("cat.log");
    for (const tk::Seen &s : seen) {
        if (s.type == "5") continue;
        std::string line = " " + std::to_string(s.size) + "  " + s.name + "\n\n";
        if (s.type == "1" || s.type == "2")   // the whole target, as the name
            line = "  " + s.name + "\n\n " + (s.type == "1" ? "linked" : "symlink") + " to " +
                   s.link + "\n\n";
        EXPECT_NE(std::string::npos, trace.find(line)) << line;
        if (s.type != "0") continue;
        std::string tag = s.name.size() > 5 ? s.name.substr(s.name.size() - 5) : s.name;
        tk::Call get("-ARCHIVE " + archive + " -POSIX -x -MEMBER *" + tag);
        EXPECT_EQ("0 GetArchive_succeeded", get.get()) << s.name;
        EXPECT_TRUE(get.out() == s.data) << s.name;
        if (s.name == "big") {
            EXPECT_NE(std::string::npos, trace.find(" 3000000/0 "));
        }
    }
}

TEST(Posix, ReadsDeletesAndReplacesInOtherWritersArchives) {
    for (const Maker &m : kMakers) {
        SCOPED_TRACE(m.name);
        tk::Cwd t;
        make_tree(m.name);
        ASSERT_EQ(0, tk::sh(std::string("cd src && ") + m.write));
        std::vector<tk::Seen> seen = tk::python("a.tar");
        if (std::string(m.name) == "gnu") {   // without -POSIX, read as it always was
            ASSERT_EQ(0,
                      tk::sh("cd src && tar --format=gnu -cf ../l.tar $(find . -name '*f1000')"));
            EXPECT_NE(std::string::npos,
                      tk::list("l.tar").entries.find("././@LongLink\n\nunknown file type 'L'"));
            EXPECT_EQ("-1 Unable_to_read_archive", tk::Call("-ARCHIVE l.tar -d -MEMBER s").get());
        }
        expect_read(seen, "a.tar");
        // The fraction of a second comes back where the archive carries it.
        tk::Call frac("-ARCHIVE a.tar -POSIX -x -MEMBER frac -UNIQUE -FILE x");
        ASSERT_EQ("0 GetArchive_succeeded", frac.get());
        struct stat s = tk::status(frac.filename());
        bool pax =
            std::string(m.name).find("pax") != std::string::npos || std::string(m.name) == "posix";
        EXPECT_EQ(pax ? 500000000 : 0, s.st_mtim.tv_nsec);
        // A deleted member takes its extension headers with it; a replaced
        // one is stored anew at the end.
        std::string member =
            std::string(m.name).find("ustar") != std::string::npos ? "*f155" : "*f1000";
        ASSERT_EQ(tk::kGot, tk::Call("-ARCHIVE a.tar -POSIX -d -MEMBER " + member).get());
        tk::write_file("s", "replaced");
        ASSERT_EQ(tk::kPut, tk::Call("-ARCHIVE a.tar -POSIX -d -a -MEMBER s -FILE s").put());
        std::vector<tk::Seen> left = tk::python("a.tar");
        std::string tag = member.substr(1);   // links to the deleted member go too
        std::erase_if(seen, [&](const tk::Seen &x) {
            return x.name.ends_with(tag) ||
                   ((x.type == "1" || x.type == "2") && x.link.ends_with(tag)) || x.name == "s";
        });
        seen.push_back({.name = "s", .type = "0", .link = "", .data = "replaced", .size = 8});
        ASSERT_EQ(seen.size(), left.size());
        for (size_t i = 0; i < seen.size(); i++)
            EXPECT_TRUE(seen[i].name == left[i].name && seen[i].data == left[i].data)
                << left[i].name;
        std::string names = tk::sh_out("tar tf a.tar 2>&1");
        EXPECT_EQ(seen.size(), static_cast<size_t>(std::count(names.begin(), names.end(), '\n')));
    }
}

// A tree of long paths written under -POSIX reads back the same in Python and
// GNU tar; without -POSIX a path over 256 bytes is refused as before.
TEST(Posix, WritesTreesOfLongPathsForOtherReaders) {
    tk::Cwd t;
    make_tree("any");
    EXPECT_NE(tk::kPut, tk::Call("-ARCHIVE c.tar -c -MEMBER x -FILE src").put());
    ASSERT_EQ(tk::kPut, tk::Call("-ARCHIVE w.tar -c -POSIX -MEMBER x -FILE src").put());
    std::vector<tk::Seen> seen = tk::python("w.tar");
    ASSERT_EQ(0, tk::sh("cd src && tar --format=posix -cf ../g.tar *"));
    std::vector<tk::Seen> want = tk::python("g.tar");
    std::erase_if(want, [](const tk::Seen &s) { return s.type == "5"; });
    ASSERT_EQ(want.size(), seen.size());
    for (const tk::Seen &w : want) {
        auto it = std::find_if(seen.begin(), seen.end(),
                               [&](const tk::Seen &s) { return s.name == "src/" + w.name; });
        ASSERT_NE(it, seen.end()) << w.name;
        // Links are followed or kept as hard links, so only the bytes compare.
        if (w.type == "0" && it->type == "0") {
            EXPECT_TRUE(it->data == w.data && it->uid == w.uid && it->mtime == w.mtime) << w.name;
        }
    }
    expect_read(seen, "w.tar");
    std::string names = tk::sh_out("tar tf w.tar 2>&1");
    EXPECT_EQ(seen.size(), static_cast<size_t>(std::count(names.begin(), names.end(), '\n')));
}

// Extension headers that are malformed or too large end the walk as a header
// with a bad field does, with a message that says why, before anything is
// allocated from what they claim.
TEST(Posix, RefusesMalformedExtensionHeaders) {
    const std::string name5000(5000, 'n'),
        big = tk::blocks({.name = "e", .data = "1", .type = 'x', .size = 2 << 20}),
        // 600 KiB of comment each: together past the 1 MiB one member may have
        half = tk::blocks({.name = "e", .data = "614418 comment=" + std::string(614402, 'c') + "\n",
                           .type = 'x'});
    struct {
        std::string ext, message;
    } rows[] = {
        {tk::blocks({.name = "e", .data = "8 path=a\n", .type = 'x'}),
         "malformed extended header record"},
        {tk::blocks({.name = "e", .data = "11 path=a\n", .type = 'x'}),
         "malformed extended header record"},
        {tk::blocks({.name = "e", .data = "9 size=x\n", .type = 'x'}),
         "extended header number that is not one"},
        {tk::blocks({.name = "e", .data = name5000, .type = 'L'}),
         "long name of more than 4096 bytes"},
        {big.substr(0, 1024), "extended header of more than 1 MiB"},
        {half + half, "extended header of more than 1 MiB"},
        {tk::blocks({.name = "e", .data = "1", .type = 'x', .size = 9000}).substr(0, 1024),
         "extended header runs past the end of the archive"},
    };
    for (const auto &r : rows) {
        tk::Cwd t;
        tk::write_file("a.tar", tk::archive({{.name = "first", .data = "1"}}, 0) + r.ext +
                                    tk::archive({{.name = "m", .data = "2"}}));
        tk::Call get("-ARCHIVE a.tar -POSIX -x -MEMBER first"),
            del("-ARCHIVE a.tar -POSIX -d -MEMBER first");
        EXPECT_EQ("0 GetArchive_succeeded", get.get());   // the member before the damage
        EXPECT_EQ("-1 Unable_to_read_archive", del.get());
        tk::Call cat("-ARCHIVE a.tar -POSIX -CAT -T t.log");
        EXPECT_EQ(tk::kGot, cat.get());
        EXPECT_NE(std::string::npos, tk::read_file("t.log").find("\n\n" + r.message + "\n\n"))
            << r.message;
    }
    tk::Cwd t;   // an 'x' the archive ends behind
    tk::write_file("a.tar", tk::archive({{.name = "e", .data = "11 path=ab\n", .type = 'x'}}));
    EXPECT_EQ("-1 Unable_to_read_archive", tk::Call("-ARCHIVE a.tar -POSIX -d -MEMBER ab").get());
    // A global record holds for every member behind it, a member's own only for it.
    tk::write_file("a.tar", tk::blocks({.name = "g", .data = "10 uid=77\n", .type = 'g'}) +
                                tk::blocks({.name = "x", .data = "10 gid=55\n", .type = 'x'}) +
                                tk::archive({{.name = "a"}, {.name = "b"}}));
    EXPECT_EQ(tk::kGot, tk::Call("-ARCHIVE a.tar -POSIX -CAT -T t.log").get());
    EXPECT_EQ("2 1\n",
              tk::sh_out("printf '%s %s\\n' $(grep -c ' 77/' t.log) $(grep -c ' 77/55 ' t.log)"));
}

// A size no archive offset can hold (2^63 - 1 in a pax record or in base
// 256), or one that runs past the end of the archive, refuses the member in a
// listing and in both extractions; no count of its blocks overflows (UBSan).
TEST(Posix, RefusesSizesNoArchiveHolds) {
    const std::string max = "9223372036854775807", why = "-1 'big' is refused: its ",
                      b256 = std::string("\x80\0\0\0\x7f", 5) + std::string(7, '\xff');
    struct { std::string head, message; } rows[] = {
        {tk::blocks({.name = "e", .data = "28 size=" + max + "\n", .type = 'x'}) +
             tk::blocks({.name = "big"}), why + "size cannot be represented"},
        {tk::blocks({.name = "big"}, kSizeOff, b256), why + "size cannot be represented"},
        {tk::blocks({.name = "big", .size = 100000}), why + "data run past the end of the archive"},
    };
    for (const auto &r : rows) {
        tk::Cwd t;
        tk::write_file("a.tar", r.head + tk::archive({{.name = "b", .data = "x"}}));
        for (std::string x : {"-CAT -T t.log", "-x -MEMBER big", "-x -MEMBER big -FILE oXXXXXX"})
            EXPECT_EQ(r.message, tk::Call("-ARCHIVE a.tar -POSIX " + x).get()) << x;
    }
}

// A member of 8 GiB and more gets its size in a pax record; only the head of
// the archive is kept (the rest would fill the disk), and GNU tar lists it.
TEST(Posix, SizesBeyondTheOctalField) {
    tk::Cwd t;
    signal(SIGPIPE, SIG_IGN);
    ASSERT_EQ(0, tk::sh("truncate -s 8589935104 big && mkfifo p && (head -c 20480 p >head.tar &)"));
    EXPECT_EQ("-1 tape write error", tk::Call("-ARCHIVE p -c -POSIX -MEMBER big -FILE big").put());
    EXPECT_NE(std::string::npos, tk::sh_out("tar tvf head.tar 2>/dev/null").find(" 8589935104 "));
    EXPECT_EQ("-1 'big' too large to archive (8589935104 bytes)",
              tk::Call("-ARCHIVE a.tar -c -MEMBER big -FILE big").put());
}

}   // namespace
