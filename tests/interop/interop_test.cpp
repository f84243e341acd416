// interop_test.cpp - archives passed between the library, GNU tar and Python's
// tarfile, the one place where other readers check what the library writes:
// one data set written by each and read by the others, member by member.
#include <gtest/gtest.h>
#include <unistd.h>
#include <utime.h>

#include <map>
#include <set>
#include <sstream>

#include "testkit/testkit.h"

namespace {

constexpr time_t kTime = 1700000000;   // every writer's fixed time

// The data set, in archive order: typeflag, mode, size, link target by name.
struct Item { char type; unsigned mode; size_t size; std::string link{}; };
const std::vector<std::pair<std::string, Item>> kSet = {
    {"e0", {'0', 0644, 0}},         {"f1", {'0', 0640, 1}},          {"f511", {'0', 0600, 511}},
    {"f512", {'0', 0755, 512}},     {"sub/", {'5', 0750, 0}},        {"sub/f513", {'0', 0604, 513}},
    {"f70000", {'0', 0444, 70000}}, {"hard", {'1', 0600, 0, "f511"}}, {"sym", {'2', 0777, 0, "f1"}},
    {"fifo", {'6', 0620, 0}}};
const std::map<std::string, Item> kItems(kSet.begin(), kSet.end());
std::string data(const Item &i) { return tk::pattern_bytes(i.size, i.size + 7); }

// The data set on disk under src/, every object at the fixed time.
void make_tree() {
    mkdir("src", 0755);
    for (const auto &[name, i] : kSet) {
        std::string p = "src/" + name;
        int made = i.type == '1'   ? link(("src/" + i.link).c_str(), p.c_str())
                   : i.type == '2' ? symlink(i.link.c_str(), p.c_str())
                   : i.type == '5' ? mkdir(p.c_str(), 0700)
                   : i.type == '6' ? mkfifo(p.c_str(), 0700) : 0;
        EXPECT_EQ(0, made) << p;
        if (i.type == '0') tk::write_file(p, data(i));
        if (i.type != '1' && i.type != '2') chmod(p.c_str(), i.mode);
    }
    struct utimbuf t = {kTime, kTime};
    for (const auto &[name, i] : kSet) utime(("src/" + name).c_str(), &t);
}

// GNU tar's standard output; the only complaint it may make is of the single end block.
std::string gnu(const std::string &args) {
    std::string out = tk::sh_out("tar " + args + " 2>gnu.err");
    EXPECT_EQ("", tk::sh_out("grep -v 'A lone zero block' gnu.err")) << args;
    return out;
}

// GNU tar (three formats, three record sizes) and Python's tarfile (two
// formats) write the data set; the library lists it exactly and extracts
// each item alone into memory: the bytes, and for what is made on disk the
// mode, time and link, come back. A symbolic link is refused; a directory's
// name ends in '/', so it is made by the path rule, with mode 0777.
TEST(Interop, LibraryReadsWhatGnuTarAndPythonWrite) {
    std::vector<std::string> writers;
    const std::string tar = "tar -C src --owner=0 --group=0 --numeric-owner --mtime=@1700000000",
                      names = " -cf a.tar e0 f1 f511 f512 sub f70000 hard sym";
    for (std::string format : {"v7", "ustar", "gnu"}) {
        std::string fifo = format == "v7" ? "" : " fifo";   // the oldest format has none
        for (std::string b : {"1", "20", "64"})
            writers.push_back(tar + " -b " + b + " --format=" + format + names + fifo);
    }
    for (std::string format : {"USTAR_FORMAT", "GNU_FORMAT"})
        writers.push_back("python3 -c \"import tarfile\nwith tarfile.open('a.tar', 'w', "
                          "format=tarfile." + format + ") as t:\n for n in 'e0 f1 f511 f512 sub "
                          "sub/f513 f70000 hard sym fifo'.split():\n  i = t.gettarinfo('src/' + n, "
                          "n); i.uid = i.gid = 0; i.uname = i.gname = ''\n  t.addfile(i, "
                          "open('src/' + n, 'rb') if i.isreg() else None)\"");
    for (const std::string &command : writers) {
        SCOPED_TRACE(command);
        tk::Cwd t;
        make_tree();
        ASSERT_EQ(0, tk::sh(command));
        auto items = kSet;
        if (command.find("v7") != std::string::npos) items.pop_back();
        std::string want;
        for (const auto &[name, i] : items) {
            char line[200];
            char letter = i.type == '2' ? 'l' : i.type == '5' ? 'd' : i.type == '6' ? 'p' : ' ';
            std::string rwx(1, letter);
            for (unsigned k = 0; k < 9; k++) rwx += i.mode & (0400u >> k) ? "rwx"[k % 3] : '-';
            snprintf(line, sizeof line, "%s   0/0 %7zu  %s\n\n", rwx.c_str(), i.size, name.c_str());
            want += line;
            if (i.type == '1' || i.type == '2')
                want += (i.type == '1' ? " linked to " : " symlink to ") + i.link + "\n\n";
        }
        EXPECT_EQ(want, tk::list("a.tar").entries);
        ASSERT_EQ(0, mkdir("x", 0755));
        tk::Cwd in("x");
        for (const auto &[name, i] : items) {
            if (i.type == '1') tk::write_file(i.link, "");  // a link is made to what is on disk
            tk::Call mem("-ARCHIVE ../a.tar -MEMBER " + name + " -x");
            EXPECT_EQ(i.type == '2' ? "-1 'sym' unknown file type '2'\n" : tk::kGot, mem.get());
            EXPECT_TRUE(mem.out() == data(i) || i.type != '0') << name;
            struct stat s = tk::status(i.type == '5' ? "sub" : name);
            EXPECT_TRUE(i.type != '1' || s.st_ino == tk::status(i.link).st_ino);
            EXPECT_TRUE(i.type != '5' || (s.st_mode == (S_IFDIR | 0777u) && s.st_mtime == kTime));
            EXPECT_TRUE(i.type != '6' || (s.st_mode == (S_IFIFO | i.mode) && s.st_mtime == kTime));
        }
    }
}

// Python's tarfile: per member "name type mode size link uid gid mtime".
const char kView[] = "import sys, tarfile\nfor m in tarfile.open(sys.argv[1]):\n"
                     "    ty = '0' if m.type in (b'0', b'\\0') else m.type.decode()\n"
                     "    print(m.name, ty, '%o' % m.mode, m.size, m.linkname or '-', m.uid, "
                     "m.gid, m.mtime)\n";

std::multiset<std::string> lines_of(const std::string &text) {
    std::istringstream in(text);
    std::multiset<std::string> lines;
    for (std::string line; std::getline(in, line);) lines.insert(line);
    return lines;
}

// The library writes: a tree with a hard link, a FIFO and a symbolic link
// (followed: stored as a copy of f1; the directories get no header); files
// created and appended, one deleted; one replaced. Python sees each member
// as the data set has it, owned by 0 at the fixed time; GNU tar lists the
// same names and reads, in its order, the bytes the data set gave them.
TEST(Interop, GnuTarAndPythonReadWhatTheLibraryWrites) {
    std::vector<std::string> appends, sources;
    for (std::string n : {"f70000", "f1", "sub/f513", "e0"}) {
        std::string op = appends.empty() ? "put -c" : "put -a";
        appends.push_back(op + " -MEMBER " + n + " -FILE src/" + n);
        sources.push_back(op + " -MEMBER src/" + n + " -FILE src/" + n);
    }
    // Each member: "name item [link]", the item of the data set it came from.
    // A replace drops the archived copy when a file of its name is found, so
    // the replaced set is stored under the names of the source files.
    struct Row { std::vector<std::string> calls, members; } rows[] = {
        {{"put -c -MEMBER x -FILE src"}, {"src/e0 e0", "src/f1 f1", "src/f512 f512", "src/sym f1",
                                          "src/sub/f513 sub/f513", "src/f70000 f70000",
                                          "src/fifo fifo"}},
        {appends, {"f70000 f70000", "sub/f513 sub/f513", "e0 e0"}},
        {sources, {"src/f1 f1", "src/sub/f513 sub/f513", "src/e0 e0", "src/f70000 f512"}}};
    rows[1].calls.push_back("get -MEMBER f1 -d");
    rows[2].calls.push_back("put -MEMBER src/f70000 -d -a -FILE src/f512");
    for (Row &row : rows) {
        SCOPED_TRACE(row.calls.back());
        tk::Cwd t;
        make_tree();
        for (const std::string &call : row.calls) {
            tk::Call c("-ARCHIVE a.tar " + call.substr(4) + " -UID 0 -GID 0");
            bool put = call[0] == 'p';
            EXPECT_EQ(put ? tk::kPut : tk::kGot, put ? c.put() : c.get()) << call;
        }
        // In the tree, the directory's order decides which of two names holds the data.
        std::string names = gnu("-tf a.tar"), first = "src/f511", second = "src/hard";
        if (names.find(second + "\n") < names.find(first + "\n")) std::swap(first, second);
        if (row.calls.size() == 1) row.members.push_back(first + " f511");
        if (row.calls.size() == 1) row.members.push_back(second + " hard " + first);
        std::string want, bytes;
        std::map<std::string, std::string> content;
        for (const std::string &m : row.members) {
            std::istringstream in(m);
            std::string name, from, link;
            in >> name >> from >> link;
            const Item &i = kItems.at(from);
            char line[300];   // a link's header keeps the linked file's size
            snprintf(line, sizeof line, "%s %c %o %zu %s 0 0 %ld\n", name.c_str(), i.type, i.mode,
                     i.type == '1' ? 511 : i.size, link.empty() ? "-" : link.c_str(), long{kTime});
            want += line;
            content[name] = i.type == '0' ? data(i) : "";
        }
        tk::write_file("view.py", kView);
        EXPECT_EQ(lines_of(want), lines_of(tk::sh_out("python3 view.py a.tar")));
        std::istringstream in(names);
        for (std::string name; std::getline(in, name);) bytes += content.at(name);
        EXPECT_TRUE(bytes == gnu("-xOf a.tar"));
    }
}

}  // namespace
