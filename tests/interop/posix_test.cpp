// posix_test.cpp - -POSIX against GNU tar and Python: their archives with long
// names, pax records, the ustar prefix and big numbers listed, extracted,
// deleted from and replaced in; a tree of long paths written and read back;
// a member past 8 GiB described right.
#include <gtest/gtest.h>
#include <signal.h>
#include <sys/stat.h>

#include "tar/posix.h"
#include "testkit/testkit.h"

namespace {

// One pax record, its length counting itself.
std::string rec(const std::string &key, const std::string &value) {
    std::string out(key.size() + value.size() + 32, '\0');
    out.resize(pax_record(out.data(), out.size(), key, value));
    return out;
}

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

// Extension headers that are malformed or run past the archive end the walk
// as a header with a bad field does, with a message that says why, before
// anything is allocated from what they claim.
TEST(Posix, RefusesMalformedExtensionHeaders) {
    const std::string name5000(5000, 'n'),
        big = tk::blocks({.name = "e", .data = "1", .type = 'x', .size = 2 << 20});
    struct {
        std::string ext, message;
    } rows[] = {
        {tk::blocks({.name = "e", .data = "8 path=a\n", .type = 'x'}),
         "malformed extended header record"},
        {tk::blocks({.name = "e", .data = "11 path=a\n", .type = 'x'}),
         "malformed extended header record"},
        {tk::blocks({.name = "e", .data = "6 =x\n", .type = 'x'}),
         "malformed extended header record"},
        {tk::blocks({.name = "e", .data = name5000, .type = 'L'}),
         "long name of more than 4096 bytes"},
        {big.substr(0, 1024), "extended header runs past the end of the archive"},
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

// Where GNU tar only warns, -POSIX reads on: an id that fills its field, a
// malformed value of a key the library uses (logged; the header's own field
// stands), an unknown key's value of 2 MiB (passed over, and copied whole by
// a delete).
TEST(Posix, LenientWhereGnuTarIs) {
    tk::Cwd t;
    tk::write_file("a.tar", tk::blocks({.name = "ids", .data = "i"}, kUidOff, "10000000") +
                                tk::blocks({.name = "e", .data = rec("mtime", "1748089464.951928467a") +
                                                                 rec("size", "x"), .type = 'x'}) +
                                tk::blocks({.name = "t", .data = "tt"}) +
                                tk::blocks({.name = "e", .data = rec("comment", std::string(2 << 20, 'c')),
                                            .type = 'x'}) +
                                tk::archive({{.name = "u", .data = "uu"}}));
    EXPECT_EQ(tk::kGot, tk::Call("-ARCHIVE a.tar -POSIX -CAT -T t.log").get());
    for (std::string want : {" 2097152/0       1  ids\n", "ignoring malformed pax 'size' of 'x'\n",
                             "ignoring malformed pax 'mtime' of '1748089464.951928467a'\n",
                             "      2  t\n", "      2  u\n"})
        EXPECT_NE(std::string::npos, tk::read_file("t.log").find(want)) << want;
    tk::Call x("-ARCHIVE a.tar -POSIX -x -MEMBER t -UNIQUE -FILE x");
    EXPECT_EQ(tk::kGot, x.get());
    EXPECT_EQ(1000000000, tk::status(x.filename()).st_mtime);
    EXPECT_EQ(tk::kGot, tk::Call("-ARCHIVE a.tar -POSIX -d -MEMBER t").get());
    EXPECT_EQ("ids\nu\n", tk::sh_out("tar tf a.tar 2>/dev/null"));
    EXPECT_EQ("-1 Member 'ids' not found in archive", tk::Call("-ARCHIVE a.tar -x -MEMBER ids").get());
}

// GNU tar's sparse files in its four encodings: listed with the real name and
// size, extracted into memory as GNU tar extracts them and into a file that
// keeps the holes; a delete or replace keeps or drops one whole, an old GNU header's map
// blocks included. Without -POSIX the old type stays a member of unknown type.
TEST(Posix, ReadsSparseFilesOfGnuTar) {
    for (std::string f : {"gnu", "posix --sparse-version=0.0", "posix --sparse-version=0.1",
                          "posix --sparse-version=1.0"}) {
        SCOPED_TRACE(f);
        tk::Cwd t;
        // sp: data at the start, nine regions (more than an old header's
        // four), one byte at the unaligned end; sh: one region, a hole at the end.
        ASSERT_EQ(0, tk::sh("python3 -c \"f = open('sp', 'wb'); f.truncate(6000001)\n"
                            "for i in range(9): f.seek(i * 700000); f.write(bytes([65 + i]) * 4096 * (1 + i % 3))\n"
                            "f.seek(6000000); f.write(b'E')\" && echo o >o && truncate -s 3M sh && echo h | "
                            "dd of=sh seek=1M bs=1 conv=notrunc && tar --sparse --format=" + f +
                            " -cf a.tar sp sh o && cp a.tar b.tar"));
        std::string gnu = tk::sh_out("tar xOf a.tar sp");
        ASSERT_TRUE(gnu == tk::read_file("sp"));
        EXPECT_EQ(tk::kGot, tk::Call("-ARCHIVE a.tar -POSIX -CAT -T t.log").get());
        EXPECT_NE(std::string::npos, tk::read_file("t.log").find(" 6000001  sp\n"));
        for (std::string m : {"sp", "sh"}) {
            tk::Call mem("-ARCHIVE a.tar -POSIX -x -MEMBER " + m), file(mem.cmd + " -UNIQUE -FILE x");
            EXPECT_EQ(tk::kGot, mem.get());
            EXPECT_TRUE(mem.out() == tk::read_file(m)) << m;
            EXPECT_EQ(tk::kGot, file.get());
            EXPECT_TRUE(tk::read_file(file.filename()) == tk::read_file(m)) << m;
            EXPECT_LT(tk::status(file.filename()).st_blocks * 512, 1 << 20);   // the holes stay holes
        }
        EXPECT_EQ(tk::kGot, tk::Call("-ARCHIVE a.tar -POSIX -d -MEMBER o").get());
        EXPECT_TRUE(tk::sh_out("tar xOf a.tar sp") == gnu);
        EXPECT_EQ(tk::kGot, tk::Call("-ARCHIVE b.tar -POSIX -d -MEMBER sp").get());
        EXPECT_EQ("sh\no\n", tk::sh_out("tar tf b.tar 2>/dev/null"));
        EXPECT_EQ(tk::kPut, tk::Call("-ARCHIVE b.tar -POSIX -d -a -MEMBER sh").put("new"));
        EXPECT_EQ("o\nsh\nnew", tk::sh_out("tar tf b.tar 2>/dev/null && tar xOf b.tar sh"));
        if (f == "gnu") {
            EXPECT_NE(std::string::npos, tk::list("a.tar").entries.find("unknown file type 'S'"));
        }
    }
}

// Maps that cannot be right are refused before anything of the member is
// made: from its pax records (0.1) or from the head of its data (1.0).
TEST(Posix, RefusesHostileSparseMaps) {
    auto v01 = [](const std::string &map) { return rec("GNU.sparse.size", "100") + rec("GNU.sparse.map", map); };
    const std::string v10 = rec("GNU.sparse.major", "1") + rec("GNU.sparse.minor", "0") +
                            rec("GNU.sparse.realsize", "100"),
                      d20(20, 'd'), pad(500, '\0');
    struct { std::string recs, data, why; } rows[] = {
        {v01("0,10,5,10"), d20, "has regions that overlap"},
        {v01("50,10,0,10"), d20, "runs backwards"},
        {v01("95,10"), d20, "runs past the file's size"},
        {v01("0,30"), d20, "holds more data than the member"},
        {v01("0,x"), d20, "is malformed"},
        // Cut at 1 MiB just where a map of its own would end; the size follows.
        {rec("GNU.sparse.map", [] { std::string m = "10,1"; while (m.size() < 1200000) m += ",0,1"; return m; }()) +
             rec("GNU.sparse.size", "100"), d20, "is larger than 1 MiB"},
        {v10, "2\n0\n10\n" + pad + d20, "is malformed"},
        {v10, "1\n90\n20\n" + pad.substr(1) + d20, "runs past the file's size"},
    };
    for (const auto &r : rows) {
        tk::Cwd t;
        tk::write_file("a.tar", tk::blocks({.name = "e", .data = r.recs, .type = 'x'}) +
                                    tk::archive({{.name = "sp", .data = r.data}}));
        for (std::string mode : {"", " -UNIQUE -FILE x"})
            EXPECT_EQ("-1 'sp' is refused: its sparse map " + r.why,
                      tk::Call("-ARCHIVE a.tar -POSIX -x -MEMBER sp" + mode).get()) << r.why;
        EXPECT_EQ(std::vector<std::string>{"a.tar"}, tk::list_dir("."));
    }
    // The stored data hold the regions one after another, a block or not.
    tk::Cwd t;
    tk::write_file("a.tar", tk::blocks({.name = "e", .data = rec("GNU.sparse.size", "12") +
                                                             rec("GNU.sparse.map", "0,3,8,4"), .type = 'x'}) +
                                tk::archive({{.name = "sp", .data = "abcdefg"}}));
    tk::Call get("-ARCHIVE a.tar -POSIX -x -MEMBER sp");
    EXPECT_EQ(tk::kGot, get.get());
    EXPECT_EQ(std::string("abc\0\0\0\0\0defg", 12), get.out());
    // A 1.0 map of three blocks, read before the data: what is left of the
    // archive then still holds them.
    std::string map = "200\n", data, want(2000, '\0');
    for (int i = 0; i < 200; i++) map += std::to_string(i * 10) + "\n1\n", data += want[i * 10] = char('a' + i % 26);
    map.resize((map.size() + 511) / 512 * 512, '\0');
    tk::write_file("b.tar", tk::blocks({.name = "e", .data = v10 + rec("GNU.sparse.realsize", "2000"), .type = 'x'}) +
                                tk::archive({{.name = "sp", .data = map + data}}));
    tk::Call big("-ARCHIVE b.tar -POSIX -x -MEMBER sp");
    EXPECT_EQ(tk::kGot, big.get());
    EXPECT_TRUE(want == big.out());
}

// Symbolic links round-trip: a tree with a dangling link, a link to a
// directory, a loop and a long target is stored as links, which GNU tar and
// Python read back, and GNU tar's archive of it gives the same links with
// their times. A member behind a link the run made is never written through
// it; a link gives no data in memory mode.
TEST(Posix, SymbolicLinksRoundTrip) {
    tk::Cwd t;
    ASSERT_EQ(0, tk::sh("mkdir -p src/d out outside && echo f >src/d/f && cd src && ln -s d/f l && ln -s d dl && "
                        "ln -s nowhere dangling && ln -s loop2 loop1 && ln -s loop1 loop2 && ln -s " +
                        std::string(300, 'x') + " long && touch -h -d @1000000000 l dl dangling loop1 loop2 long"));
    const std::string links = "; for l in l dl dangling loop1 loop2 long; do echo $l $(readlink $l) "
                              "$(stat -c %Y $l); done";
    std::string want = tk::sh_out("cd src" + links);
    ASSERT_EQ(tk::kPut, tk::Call("-ARCHIVE ours.tar -POSIX -c -MEMBER x -FILE src").put());
    ASSERT_EQ(0, tk::sh("tar cf gnu.tar -C src . && mkdir back && tar xf ours.tar -C back"));
    EXPECT_EQ(want, tk::sh_out("cd back/src" + links));
    auto seen = tk::python("ours.tar");
    EXPECT_EQ(6, std::count_if(seen.begin(), seen.end(), [](const tk::Seen &s) { return s.type == "2"; }));
    tk::write_file("mk.py", "import tarfile, io, os\nt = tarfile.open('p.tar', 'w')\n"
                   "i = tarfile.TarInfo('l'); i.type = tarfile.SYMTYPE; i.linkname = os.getcwd() + '/outside'\n"
                   "t.addfile(i); i = tarfile.TarInfo('l/d'); i.type = tarfile.DIRTYPE; t.addfile(i); t.close()\n");
    ASSERT_EQ(0, tk::sh("python3 mk.py"));
    EXPECT_EQ("-1 can't create 'l'", tk::Call("-ARCHIVE p.tar -POSIX -x -MEMBER *").get());
    EXPECT_TRUE(tk::list_dir("outside").empty() && S_ISLNK(tk::status("l").st_mode));
    tk::Cwd cd("out");
    EXPECT_EQ(tk::kGot, tk::Call("-ARCHIVE ../gnu.tar -POSIX -x -MEMBER *").get());
    EXPECT_EQ(want, tk::sh_out("true" + links));
    tk::Call dangling("-ARCHIVE ../gnu.tar -POSIX -x -MEMBER ./dangling");
    EXPECT_EQ(tk::kGot, dangling.get());
    EXPECT_EQ("", dangling.out());
    // Python's GNU format: the long target in a 'K' record.
    ASSERT_EQ(0, tk::sh("rm -rf ./* && cd ../src && python3 -c \"import tarfile; t = tarfile.open('../py.tar', 'w', "
                        "format=tarfile.GNU_FORMAT); t.add('.'); t.close()\""));
    EXPECT_EQ(tk::kGot, tk::Call("-ARCHIVE ../py.tar -POSIX -x -MEMBER *").get());
    EXPECT_EQ(want, tk::sh_out("true" + links));
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
