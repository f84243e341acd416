// interop_test.cpp - archives passed between the library, GNU tar and Python's
// tarfile: one data set written by each and read by the others, member by
// member; and what the library makes of what the others write beyond the
// classic format (long names, pax headers, base-256 numbers, sparse files).
#include <gtest/gtest.h>
#include <sys/stat.h>
#include <unistd.h>
#include <utime.h>

#include <algorithm>
#include <map>
#include <regex>
#include <sstream>

#include "testkit/testkit.h"

namespace {

// Every writer's fixed time, as Python and (in UTC) GNU tar show it.
constexpr time_t kTime = 1700000000;
const std::string kPyTime = std::to_string(kTime), kGnuTime = "2023-11-14 22:13:20";

// The data set, in archive order: name, typeflag, mode, size, link target.
struct Item { std::string name; char type; unsigned mode; size_t size; std::string link; };
const std::vector<Item> kSet = {
    {"e0", '0', 0644, 0, ""},         {"f1", '0', 0640, 1, ""},       {"f511", '0', 0600, 511, ""},
    {"f512", '0', 0755, 512, ""},     {"sub/", '5', 0750, 0, ""},     {"sub/f513", '0', 0604, 513, ""},
    {"f70000", '0', 0444, 70000, ""}, {"hard", '1', 0600, 0, "f511"}, {"sym", '2', 0777, 0, "f1"},
    {"fifo", '6', 0620, 0, ""}};

const Item &item(const std::string &name) {
    return *std::find_if(kSet.begin(), kSet.end(), [&](const Item &i) { return i.name == name; });
}
std::string data(const Item &i) { return tk::pattern_bytes(i.size, static_cast<unsigned>(i.size) + 7); }

// The data set on disk under src/, every object at the fixed time.
void make_tree() {
    mkdir("src", 0755);
    for (const Item &i : kSet) {
        std::string p = "src/" + i.name;
        if (i.type == '0') tk::write_file(p, data(i));
        if (i.type == '5') mkdir(p.c_str(), 0700);
        if (i.type == '1') link(("src/" + i.link).c_str(), p.c_str());
        if (i.type == '2') symlink(i.link.c_str(), p.c_str());
        if (i.type == '6') mkfifo(p.c_str(), 0600);
        if (i.type != '1' && i.type != '2') chmod(p.c_str(), i.mode);
    }
    struct utimbuf t = {kTime, kTime};
    for (const Item &i : kSet) utime(("src/" + i.name).c_str(), &t);
}

// One member as a reader shows it.
std::string entry(const std::string &name, char type, unsigned mode, const std::string &owner, long long size,
                  const std::string &time, const std::string &link) {
    char text[512];
    snprintf(text, sizeof text, "%s %c %o %s %lld %s %s", name.c_str(), type, mode, owner.c_str(), size, time.c_str(),
             link.c_str());
    return text;
}

// The members of a verbose listing, one match of pattern each: type letter,
// mode letters, owner, group, size, time, name, link kind, link target.
std::vector<std::string> parse(const std::string &text, const std::string &pattern) {
    std::vector<std::string> out;
    std::regex re(pattern);
    for (std::sregex_iterator m(text.begin(), text.end(), re), end; m != end; ++m) {
        unsigned mode = 0;
        for (size_t k = 0; k < 9; k++) mode |= (*m)[2].str()[k] != '-' ? 0400u >> k : 0;
        size_t letter = std::string(" -hldp").find((*m)[1].str()[0]);
        char type = (*m)[8] == "linked" ? '1' : letter < 6 ? "001256"[letter] : (*m)[1].str()[0];
        out.push_back(entry((*m)[7], type, mode, (*m)[3].str() + "/" + (*m)[4].str(), std::stoll((*m)[5]), (*m)[6],
                            (*m)[9]));
    }
    return out;
}

// The library's -CAT listing (it shows no times); the whole trace in *trace.
std::vector<std::string> library_list(std::string *trace) {
    tk::Call c("-ARCHIVE a.tar -CAT -T a.tar.lst");
    EXPECT_EQ(0, c.get()) << c.message();
    *trace = tk::read_file("a.tar.lst");
    return parse(*trace, "\n(.)([-rwxsStT]{9}) +(\\d+)/(\\d+) +(\\d+)()  ([^\n]*)\n\n"
                         "(?: (linked|symlink) to ([^\n]*)\n)?");
}

// GNU tar's: it may only warn of the library's lone end block.
std::vector<std::string> gnu_list() {
    std::string text = "\n" + tk::sh_out("TZ=UTC tar -tvf a.tar --full-time --numeric-owner 2>&1");
    std::string complaints = std::regex_replace(text, std::regex("tar: A lone zero block at \\d+\n"), "");
    EXPECT_EQ(std::string::npos, complaints.find("tar:")) << complaints;
    return parse(text, "\n(.)([-rwxsStT]{9}) (\\d+)/(\\d+) +(\\d+) (\\S+ \\S+) ([^\n]*?)"
                       "(?:( link to | -> )([^\n]*))?(?=\n)");
}

// Python's, with each regular member's bytes by name.
std::vector<std::string> python_list(std::map<std::string, std::string> *bytes) {
    tk::write_file("r.py", "import tarfile\n"
                           "with tarfile.open('a.tar') as t:\n"
                           "    for m in t:\n"
                           "        d = t.extractfile(m).read() if m.isreg() else b''\n"
                           "        ty = '0' if m.type in (b'0', b'\\0') else m.type.decode()\n"
                           "        print(f'{m.name} {ty} {m.mode:o} {m.uid}/{m.gid} {m.size} {m.mtime} {m.linkname}'"
                           " + '\\t' + d.hex())\n");
    std::istringstream lines(tk::sh_out("python3 r.py"));
    std::vector<std::string> out;
    for (std::string l; std::getline(lines, l);) {
        out.push_back(l.substr(0, l.find('\t')));
        std::string &raw = (*bytes)[l.substr(0, l.find(' '))];
        for (size_t k = l.find('\t') + 1; k + 1 < l.size(); k += 2)
            raw += static_cast<char>(std::stoi(l.substr(k, 2), nullptr, 16));
    }
    return out;
}

struct stat status(const std::string &path) { struct stat s = {}; lstat(path.c_str(), &s); return s; }

// Each item extracted alone into the current directory: in memory, and for
// a regular file to a file too. A symbolic link is refused; a directory
// member's name ends in '/', so it is made by the path rule, with mode 0777
// whatever the archive says.
void library_extracts(const std::vector<Item> &items) {
    for (const Item &i : items) {
        SCOPED_TRACE(i.name);
        if (i.type == '1') tk::write_file(i.link, "");  // a link is made to what is on disk
        tk::Call mem("-ARCHIVE ../a.tar -MEMBER " + i.name + " -x");
        EXPECT_EQ(i.type == '2' ? -1 : 0, mem.get());
        EXPECT_EQ(i.type == '2' ? "'sym' unknown file type '2'\n" : "GetArchive_succeeded", mem.message());
        struct stat s = status(i.type == '5' ? "sub" : i.name);
        EXPECT_EQ(i.type == '1' ? status(i.link).st_ino : s.st_ino, s.st_ino);
        EXPECT_EQ(i.type == '5' ? S_IFDIR | 0777u : i.type == '6' ? S_IFIFO | i.mode : s.st_mode, s.st_mode);
        EXPECT_EQ(i.type == '5' || i.type == '6' ? kTime : s.st_mtime, s.st_mtime);
        if (i.type != '0') continue;
        EXPECT_TRUE(mem.out() == data(i));
        tk::Call file("-ARCHIVE ../a.tar -MEMBER " + i.name + " -x -FILE oXXXXXX -UNIQUE");
        ASSERT_EQ(0, file.get()) << file.message();
        EXPECT_EQ(i.name, file.filename().substr(0, file.filename().size() - 6));
        s = status(file.filename());
        EXPECT_TRUE(tk::read_file(file.filename()) == data(i));
        EXPECT_EQ(S_IFREG | i.mode, s.st_mode);
        EXPECT_EQ(kTime, s.st_mtime);
    }
}

// GNU tar (three formats, three record sizes) and Python's tarfile (two
// formats) write the data set; the library lists and extracts every member.
TEST(Interop, LibraryReadsWhatGnuTarAndPythonWrite) {
    std::vector<std::string> writers;
    for (std::string format : {"v7", "ustar", "gnu"})
        for (std::string b : {"1", "20", "64"})
            writers.push_back("tar -C src --owner=0 --group=0 --numeric-owner --mtime=@1700000000 -b " + b +
                              " --format=" + format + " -cf a.tar e0 f1 f511 f512 sub f70000 hard sym" +
                              (format == "v7" ? "" : " fifo"));
    for (std::string format : {"USTAR_FORMAT", "GNU_FORMAT"})
        writers.push_back("python3 w.py " + format + " e0 f1 f511 f512 sub sub/f513 f70000 hard sym fifo");
    for (const std::string &command : writers) {
        SCOPED_TRACE(command);
        tk::TempDir d;
        tk::Chdir cd(d.path());
        make_tree();
        tk::write_file("w.py", "import sys, tarfile\n"
                               "with tarfile.open('a.tar', 'w', format=getattr(tarfile, sys.argv[1])) as t:\n"
                               "    for n in sys.argv[2:]:\n"
                               "        i = t.gettarinfo('src/' + n, n)\n"
                               "        i.uid, i.gid, i.uname, i.gname, i.mtime = 0, 0, '', '', 1700000000\n"
                               "        t.addfile(i, open('src/' + n, 'rb') if i.isreg() else None)\n");
        ASSERT_EQ(0, tk::sh(command));
        // The oldest format cannot hold a FIFO.
        std::vector<Item> items(kSet.begin(), kSet.end() - (command.find("v7") != std::string::npos ? 1 : 0));
        std::vector<std::string> want;
        for (const Item &i : items) want.push_back(entry(i.name, i.type, i.mode, "0/0", i.size, "", i.link));
        std::string trace;
        EXPECT_EQ(want, library_list(&trace));
        EXPECT_NE(std::string::npos, trace.find("Total " + std::to_string(items.size()) + " file(s) for 71537 bytes"));
        ASSERT_EQ(0, mkdir("x", 0755));
        tk::Chdir in("x");
        library_extracts(items);
    }
}

// A member the library wrote: its name, the data set's item it came from
// (when not of that name), a hard link's target.
struct Stored { std::string name, from = "", link = ""; };

// GNU tar and Python list the archive with times and read its bytes; GNU tar
// extracts every member with its mode and time.
void others_read(const std::vector<Stored> &members, bool any_order) {
    std::map<std::string, std::string> bytes;
    std::vector<std::string> want_py, want_gnu, seen_py = python_list(&bytes), seen_gnu = gnu_list();
    for (const Stored &m : members) {
        const Item &i = item(m.from.empty() ? m.name : m.from);
        // A link's header keeps the linked file's size; GNU tar shows 0 for it.
        want_py.push_back(entry(m.name, i.type, i.mode, "0/0", i.type == '1' ? 511 : i.size, kPyTime, m.link));
        want_gnu.push_back(entry(m.name, i.type, i.mode, "0/0", i.size, kGnuTime, m.link));
    }
    for (auto *v : {&want_py, &want_gnu, &seen_py, &seen_gnu})
        if (any_order) std::sort(v->begin(), v->end());
    EXPECT_EQ(want_py, seen_py);
    EXPECT_EQ(want_gnu, seen_gnu);
    ASSERT_EQ(0, tk::sh("mkdir out && tar -xpf a.tar -C out 2>/dev/null"));
    for (const Stored &m : members) {
        const Item &i = item(m.from.empty() ? m.name : m.from);
        struct stat s = status("out/" + m.name);
        EXPECT_EQ(kTime, s.st_mtime) << m.name;
        EXPECT_EQ((i.type == '6' ? S_IFIFO : S_IFREG) | i.mode, s.st_mode) << m.name;
        EXPECT_EQ(i.type == '1' ? status("out/" + m.link).st_ino : s.st_ino, s.st_ino) << m.name;
        EXPECT_TRUE(i.type != '0' || (tk::read_file("out/" + m.name) == data(i) && bytes[m.name] == data(i)))
            << m.name;
    }
}

// The library writes: a tree with a hard link, a FIFO and a symbolic link
// (followed: stored as a copy of f1; the directories get no header); single
// files created and appended; one deleted; one replaced.
TEST(Interop, GnuTarAndPythonReadWhatTheLibraryWrites) {
    std::vector<std::string> appends;
    for (std::string n : {"f70000", "f1", "sub/f513", "e0"})
        appends.push_back(std::string(appends.empty() ? "put -c" : "put -a") + " -MEMBER " + n + " -FILE src/" + n);
    struct Row { std::vector<std::string> calls; std::vector<Stored> members; } rows[] = {
        {{"put -c -MEMBER x -FILE src"}, {{"src/e0", "e0"}, {"src/f1", "f1"}, {"src/f512", "f512"},
          {"src/sub/f513", "sub/f513"}, {"src/f70000", "f70000"}, {"src/sym", "f1"}, {"src/fifo", "fifo"}}},
        {appends, {{"f70000"}, {"f1"}, {"sub/f513"}, {"e0"}}},
        {appends, {{"f70000"}, {"sub/f513"}, {"e0"}}},
        {appends, {{"f1"}, {"sub/f513"}, {"e0"}, {"f70000", "f512"}}}};
    rows[2].calls.push_back("get -MEMBER f1 -d");
    rows[3].calls.push_back("put -MEMBER f70000 -d -a -FILE src/f512");
    for (Row &row : rows) {
        SCOPED_TRACE(row.calls.back());
        tk::TempDir d;
        tk::Chdir cd(d.path());
        make_tree();
        for (const std::string &call : row.calls) {
            tk::Call c("-ARCHIVE a.tar " + call.substr(4) + " -UID 0 -GID 0");
            ASSERT_EQ(0, call[0] == 'p' ? c.put() : c.get()) << call << ": " << c.message();
        }
        bool tree = row.calls.size() == 1;
        if (tree) {  // the directory's order decides which of the two names holds the data
            std::string names = tk::sh_out("tar -tf a.tar 2>/dev/null"), first = "src/f511", second = "src/hard";
            if (names.find(second + "\n") < names.find(first + "\n")) std::swap(first, second);
            row.members.push_back({first, "f511"});
            row.members.push_back({second, "hard", first});
        }
        others_read(row.members, tree);
    }
}

// What the library makes of what GNU tar and Python write beyond its format.
// Each archive starts with e0 (no bytes). The listing holds the texts pinned
// here, in order; the member is extracted in memory and to a file (source:
// the file whose bytes come back). Then e0 is deleted and a member appended:
// GNU tar must see exactly that change, or, where the library cannot copy or
// extend the archive faithfully, the run fails and the archive stays as it was.
struct Odd {
    std::string make;
    std::vector<std::string> listed;
    std::string member, extracted, source;
    bool deletes, appends;
};

const std::string kVars = "umask 022; G='tar -C src --owner=0 --group=0 --numeric-owner --mtime=@1700000000'; "
                          "L=$(printf %0120d 0); P=$(printf %0130d 0); D=$(printf %099d 0); ",
                  kCut = std::string(100, '0'), kSucceeded = "GetArchive_succeeded";
const std::vector<std::string> kStops = {"  e0\n", "bad directory structure\n", "Total 1 file(s) for 0 bytes"};

const Odd kOdd[] = {
    // GNU long names: 'L' and 'K' are unknown types without data; their data
    // blocks fail the checksum and are passed over; the member behind them is
    // named by its first 100 characters. A delete would lose those blocks.
    {"printf long >src/$L && ln -s $L src/ksym && $G --format=gnu -cf a.tar e0 $L ksym f1",
     {"?rw-r--r--   0/0     121  ././@LongLink\n\nunknown file type 'L'\n", " rw-r--r--   0/0       4  " + kCut,
      "unknown file type 'K'\n", "  ksym\n\n symlink to " + kCut + "\n", "  f1\n", "Total 6 file(s) for 5 bytes"},
     "././@LongLink", "'././@LongLink' unknown file type 'L'\n", "", false, true},
    // pax extended headers, GNU tar's ('x' for each member) and Python's (a
    // global 'g', an 'x' for a long name): the same.
    {"$G --format=pax -cf a.tar e0 f1",
     {"e0\n\nunknown file type 'x'\n", "  e0\n", "unknown file type 'x'\n", "  f1\n"},
     "f1", kSucceeded, "f1", false, true},
    {"cd src && printf long >$L && python3 -c \"import tarfile; t = tarfile.open('../a.tar', 'w', "
     "pax_headers={'comment': 'hi'}); [t.add(n) for n in ('e0', '$L', 'f1')]; t.close()\"",
     {"unknown file type 'g'\n", "  e0\n", "unknown file type 'x'\n", "  " + kCut + "\n", "  f1\n"},
     "f1", kSucceeded, "f1", false, true},
    // Base-256 numbers (an owner above 2097151, a negative time, a size of
    // 8 GiB in a header as Python writes it): a bad field, read as the end of
    // the archive. The listing stops there and says why; an append, which
    // would write over it, fails as a delete does.
    {"$G --format=gnu -cf a.tar e0 && $G --format=gnu --owner=3000000 -rf a.tar f1",
     kStops, "f1", "Member 'f1' not found in archive", "", false, false},
    {"$G --format=gnu -cf a.tar e0 && $G --format=gnu --mtime=@-1 -rf a.tar f1",
     kStops, "f1", "Member 'f1' not found in archive", "", false, false},
    {"python3 -c \"import tarfile as t; i = t.TarInfo('big'); i.size = 8 << 30; open('a.tar', 'wb').write("
     "t.TarInfo('e0').tobuf(t.GNU_FORMAT) + i.tobuf(t.GNU_FORMAT) + bytes(10240))\"",
     kStops, "big", "Member 'big' not found in archive", "", false, false},
    // A sparse member ('S') with more pieces than its header holds: an unknown
    // type with data; the extension block of its map is passed with the data,
    // so the walk goes on to f1, and a copy keeps the member whole.
    {"truncate -s 1M src/sp && for i in 1 2 3 4 5 6 7 8 9; do printf $i | dd of=src/sp bs=1 seek=${i}00000 "
     "conv=notrunc 2>/dev/null; done && $G --format=gnu --sparse -cf a.tar e0 sp f1",
     {"  sp\n\nunknown file type 'S'\n", "  f1\n", "Total 3 file(s) for "},
     "sp", "'sp' unknown file type 'S'\n", "", true, true},
    // A ustar name with a prefix: only the name field is read.
    {"mkdir src/$P && printf u >src/$P/u && $G --format=ustar -cf a.tar e0 $P/u f1",
     {"  e0\n", " rw-r--r--   0/0       1  u\n", "  f1\n"}, "u", kSucceeded, std::string(130, '0') + "/u", true, true},
    // An owner above 65535 in octal: owners are 16-bit, 70000 reads as 4464.
    {"$G --format=ustar --owner=70000 -cf a.tar e0 f1",
     {" rw-r----- 4464/0       1  f1\n"}, "f1", kSucceeded, "f1", true, true},
    // A long name cut after its 100th character, a '/': the member is made as
    // a directory, and its data (an archive holding 0forged) are passed over,
    // never read as members.
    {"mkdir src/$D && printf forged >src/0forged && tar -C src -cf src/$D/p 0forged && "
     "$G --format=gnu -cf a.tar e0 $D/p f1",
     {" rw-r--r--   0/0   10240  " + kCut.substr(1) + "/\n", "  f1\n"}, "0*", kSucceeded, "", false, true},
};

// GNU tar's names (and its complaints) and the bytes of its regular members.
std::pair<std::string, std::string> gnu_view() {
    return {tk::sh_out("tar -tf a.tar 2>&1 | grep -v 'A lone zero block'"), tk::sh_out("tar -xOf a.tar 2>/dev/null")};
}

TEST(Interop, WhatTheLibraryMakesOfOtherFormats) {
    const size_t kFileLen = sizeof(EXITPARAM::szFileName);
    for (const Odd &o : kOdd) {
        SCOPED_TRACE(o.make);
        tk::TempDir d;
        tk::Chdir cd(d.path());
        make_tree();
        ASSERT_EQ(0, tk::sh(kVars + o.make));
        std::string trace;
        library_list(&trace);
        for (size_t k = 0, at = 0; k < o.listed.size(); k++)
            ASSERT_NE(std::string::npos, at = trace.find(o.listed[k], at)) << o.listed[k] << trace;
        ASSERT_EQ(0, mkdir("x", 0755));
        {
            tk::Chdir in("x");
            tk::Call mem("-ARCHIVE ../a.tar -MEMBER " + o.member + " -x");
            tk::Call file("-ARCHIVE ../a.tar -MEMBER " + o.member + " -x -FILE oXXXXXX -UNIQUE");
            EXPECT_EQ(mem.get(), file.get()) << file.message();
            EXPECT_EQ(o.extracted, mem.message());
            std::string bytes = o.source.empty() ? "" : tk::read_file("../src/" + o.source);
            EXPECT_TRUE(mem.out() == bytes && (o.source.empty() || tk::read_file(file.filename()) == bytes));
            for (const EXITPARAM *r : {&mem.rec, &file.rec})
                EXPECT_TRUE(memchr(r->szMessage, 0, sizeof r->szMessage) && memchr(r->szFileName, 0, kFileLen));
        }
        EXPECT_EQ((std::vector<std::string>{"a.tar", "a.tar.lst", "src", "x"}), tk::list_dir("."));
        auto want = gnu_view();
        std::string bytes = tk::read_file("a.tar");
        tk::Call del("-ARCHIVE a.tar -MEMBER e0 -d"), add("-ARCHIVE a.tar -MEMBER new -a");
        EXPECT_EQ(o.deletes ? kSucceeded : "Unable_to_read_archive", (del.get(), del.message()));
        EXPECT_TRUE(o.deletes || bytes == tk::read_file("a.tar"));
        EXPECT_EQ(o.appends ? "PutArchive_succeeded" : "Unable_to_read_archive", (add.put("NEW"), add.message()));
        EXPECT_TRUE(o.deletes || o.appends || bytes == tk::read_file("a.tar"));
        if (o.deletes) want.first.erase(0, 3);  // "e0\n"
        if (o.appends) want.first += "new\n", want.second += "NEW";
        auto seen = gnu_view();
        EXPECT_EQ(want.first, seen.first);
        EXPECT_TRUE(want.second == seen.second);
    }
}

}  // namespace
