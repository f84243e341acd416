// index_test.cpp - the member index kept across calls never changes a result:
// the same calls, in a process with the index and in one without it
// (Z9TAR_NO_INDEX), give the same records, buffers and files, whatever
// happens to the archive between them.
#include <fcntl.h>
#include <gtest/gtest.h>
#include <sys/mman.h>
#include <sys/wait.h>
#include <unistd.h>

#include <functional>

#include "tar/format.h"
#include "tar/tar.h"
#include "testkit/testkit.h"

namespace {

using Step = std::function<std::string()>;

std::string get(const std::string &line) {
    tk::Call c("-ARCHIVE a.tar " + line);
    std::string outcome = c.get(), file = c.filename();
    if (file.size() > 6) file.replace(file.size() - 6, 6, "XXXXXX");   // its unique part
    return outcome + " | " + std::to_string(c.out().size()) + " " +
           std::to_string(std::hash<std::string>{}(c.out())) + " | " + file + "\n";
}

// Large members are text that compresses, so that gzip's blocks end anywhere
// inside a byte.
std::string data(size_t size, unsigned seed) {
    if (size <= 900) return tk::pattern_bytes(size, seed);
    std::string t;
    for (unsigned i = 0; t.size() < size; i++) t += std::to_string(i * seed % 7919) + " line\n";
    return t.substr(0, size);
}

std::string members(const std::string &seed, size_t size = 900) {
    std::vector<tk::Member> m;
    for (const char *name : {"a", "d/b", "d/c", "m", "m", "x"})
        m.push_back({.name = name, .data = data(size, static_cast<unsigned>(seed[0]) + name[0])});
    m[1].name = seed + "/b";
    return tk::archive(m);
}

// Writes data at offset at of a.tar through a shared mapping, whose pages are
// made dirty before `before` runs, so that the file keeps its size and times.
std::string mapped(size_t at, const std::string &data, const Step &before, const Step &after) {
    int fd = open("a.tar", O_RDWR);
    auto *map = static_cast<volatile char *>(
        mmap(nullptr, at + data.size(), PROT_READ | PROT_WRITE, MAP_SHARED, fd, 0));
    for (size_t i = at; i < at + data.size(); i++) map[i] = map[i];
    std::string got = before();
    for (size_t i = 0; i < data.size(); i++) map[at + i] = data[i];
    got += after();
    munmap(const_cast<char *>(map), at + data.size());
    close(fd);
    return got;
}

// Every step's outcome, then the files the calls made (each file's bytes).
const std::vector<Step> kSteps = {
    [] {   // and the empty pattern of a listing run: every member, the last one's data
        return get("-MEMBER m -x") + get("-MEMBER d -x") + get("-MEMBER d* -x") +
               get("-MEMBER no -x") + get("-CAT -x");
    },
    [] { return get("-MEMBER d/c -x -FILE f.XXXXXX") + get("-MEMBER x -x -UNIQUE -FILE y"); },
    [] {   // appended by the library: the index of the old archive is gone
        tk::Call("-ARCHIVE a.tar -MEMBER m -a").put("new");
        return get("-MEMBER m -x") + get("-MEMBER a -x");
    },
    [] {   // rewritten by someone else, keeping the size and times (and the names
           // where the members lie, but not their sizes)
        std::string next = members("e", 700);
        next.resize(tk::read_file("a.tar").size());
        return mapped(0, next, [] { return get("-MEMBER x -x"); }, [] {
            std::string x = get("-MEMBER x -x");   // first: only its header's sum differs
            return x + get("-MEMBER e/b -x") + get("-MEMBER d/b -x") + get("-MEMBER m -x");
        });
    },
    [] {   // the same way, members written behind the end marker
        std::string a = members("s");
        std::string more = tk::archive({{.name = "m", .data = "new"}, {.name = "n"}});
        tk::write_file("a.tar", a + std::string(more.size(), '\0'));
        return mapped(a.size() - 1024, more, [] { return get("-MEMBER m -x"); },
                      [] { return get("-MEMBER m -x") + get("-MEMBER n -x"); });
    },
    [] {   // a trace open: the walk writes a line per member, so no index is used
        tk::write_file("a.tar", members("t"));
        std::string traced = get("-MEMBER a -x");   // in this order: the index comes first
        traced += get("-MEMBER x -x -T t.log");
        traced += tk::sh_out("grep -c name= t.log");
        return traced + get("-MEMBER x -x -u");
    },
    [] {   // cut short
        std::string cut = truncate("a.tar", 3 * 512) == 0 ? "" : "not cut\n";
        return cut + get("-MEMBER x -x") + get("-MEMBER a -x");
    },
    [] {   // damaged: a header passed over, so no index is kept
        std::string a = members("d");
        a[3 * 512 + 10] ^= 1;
        tk::write_file("a.tar", a);
        return get("-MEMBER x -x") + get("-MEMBER x -x") + get("-MEMBER m -x");
    },
    [] {   // a member whose coded size passes its size: extracting it reads its data as
           // headers, passing it over does not, so the members met depend on the pattern
        std::string hidden = tk::blocks({.name = "h", .data = "HIDDEN"});
        std::string c = tk::blocks({.name = "c", .data = hidden}, kTailSizeOff, "3720 ");
        tk::write_file("a.tar", c + std::string(1024, '\0'));
        return get("-MEMBER zz -x") + get("-MEMBER * -x") + get("-MEMBER h -x");
    },
    [] {   // past the budget: the walk stops building at once, and no later call builds
        constexpr size_t kSmall = 50000;
        std::vector<tk::Member> many(300);
        for (size_t i = 0; i < many.size(); i++)
            many[i].name = std::string(90, 'n') + std::to_string(i);
        tk::write_file("a.tar", tk::archive(many));
        index_budget(kSmall);
        std::string got = get("-MEMBER n* -x") + get("-MEMBER n* -x");
        got += get("-MEMBER " + many[7].name + " -x");
        return got + (index_budget(0) <= kSmall ? "" : "built past the budget\n");
    },
    [] {   // gzip'ed: walked, walked again to note places to decode from, then
           // reached from them (members of 700 KiB: several places); a lone 1f
           // byte behind the stream is no gzip member
        tk::write_file("p.tar", members("d", 700 << 10));
        std::string gz = "(gzip -c p.tar; head -c 512 /dev/zero; printf '\\037') >a.tar";
        std::string got = tk::sh(gz + " && rm p.tar") == 0 ? "" : "no gzip\n";
        for (const char *m : {"x", "m", "d/c", "a", "x", "m"})
            got += get(std::string("-MEMBER ") + m + " -x");
        return got;
    },
};

std::string run_all() {
    std::string out;
    tk::write_file("a.tar", members("d"));
    for (const Step &s : kSteps) out += s() + get("-MEMBER x -x");
    return out +
           tk::sh_out(
               "find . -type f ! -name a.tar ! -name t.log | sort | xargs md5sum | cut -c1-36");
}

// Runs the calls in a child process of its own, with or without the index.
std::string in_child(bool index) {
    tk::TempDir d;
    std::string out = d.path + ".out";
    pid_t pid = fork();
    if (pid == 0) {
        if (!index) setenv("Z9TAR_NO_INDEX", "1", 1);
        tk::Cwd cd(d.path);
        tk::write_file(out, run_all());
        _exit(0);
    }
    int status = 0;
    waitpid(pid, &status, 0);
    EXPECT_TRUE(WIFEXITED(status) && WEXITSTATUS(status) == 0);
    std::string seen = tk::read_file(out);
    unlink(out.c_str());
    return seen;
}

TEST(Index, NeverChangesAResult) {
    std::string with = in_child(true), without = in_child(false);
    EXPECT_EQ(without, with);
    EXPECT_NE(std::string::npos, with.find("0 GetArchive_succeeded | 900 "));
    EXPECT_NE(std::string::npos, with.find("0 GetArchive_succeeded | 716800 "));
}

}   // namespace
