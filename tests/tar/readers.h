// readers.h - what two independent readers (GNU tar and Python's tarfile) see
// in an archive the library wrote, for the storing tests.
#ifndef Z9_TESTS_TAR_READERS_H
#define Z9_TESTS_TAR_READERS_H

#include <gtest/gtest.h>

#include <algorithm>
#include <sstream>
#include <string>
#include <vector>

#include "testkit/testkit.h"

namespace rd {

// One member as Python's tarfile reads it; data only for regular members.
struct Seen {
    std::string name, type, link, data;
    long long size = 0;
    unsigned mode = 0, uid = 0, gid = 0;
};

inline std::string unhex(const std::string &h) {
    std::string out;
    for (size_t i = 0; i + 1 < h.size(); i += 2) out += static_cast<char>(std::stoi(h.substr(i, 2), nullptr, 16));
    return out;
}

inline std::vector<Seen> python(const std::string &archive) {
    std::string script =
        "import sys, tarfile\n"
        "with tarfile.open(sys.argv[1]) as t:\n"
        "    for m in t:\n"
        "        d = t.extractfile(m).read() if m.isreg() else b''\n"
        "        ty = m.type.decode('latin1') if m.type != b'\\0' else 'NUL'\n"
        "        print('\\t'.join([m.name, ty, str(m.size), '%o' % m.mode, str(m.uid), str(m.gid),"
        " m.linkname or '-', d.hex() or '-']))\n";
    tk::write_file(archive + ".py", script);
    std::istringstream lines(tk::sh_out("python3 " + archive + ".py " + archive));
    std::vector<Seen> seen;
    for (std::string line; std::getline(lines, line);) {
        std::istringstream fs(line);
        std::vector<std::string> f;
        for (std::string x; std::getline(fs, x, '\t');) f.push_back(x == "-" ? "" : x);
        if (f.size() != 8) continue;
        Seen s{f[0], f[1], f[6], unhex(f[7]), std::stoll(f[2]), static_cast<unsigned>(std::stoul(f[3], nullptr, 8)),
               static_cast<unsigned>(std::stoul(f[4])), static_cast<unsigned>(std::stoul(f[5]))};
        seen.push_back(s);
    }
    return seen;
}

// GNU tar's verbose listing: exit status and what it said on standard error.
struct Listing {
    int status = -1;
    std::string names, errors;
};

inline Listing gnu_list(const std::string &archive) {
    Listing l;
    l.status = tk::sh("tar tvf " + archive + " >" + archive + ".lst 2>" + archive + ".err");
    l.names = tk::read_file(archive + ".lst");
    l.errors = tk::read_file(archive + ".err");
    return l;
}

inline std::string gnu_data(const std::string &archive, const std::string &member) {
    return tk::sh_out("tar xOf " + archive + " '" + member + "' 2>/dev/null");
}

// Both readers see exactly these regular members, in this order, with these
// bytes. GNU tar only warns about the single end block, and exits with 0.
inline void expect_members(const std::string &archive,
                           const std::vector<std::pair<std::string, std::string>> &want) {
    Listing l = gnu_list(archive);
    EXPECT_EQ(0, l.status) << l.errors;
    std::istringstream lines(l.names);
    std::string line;
    for (const auto &w : want) {  // each verbose line ends with the member's name
        ASSERT_TRUE(std::getline(lines, line));
        EXPECT_EQ(" " + w.first, line.substr(line.size() - std::min(line.size(), w.first.size() + 1)));
    }
    EXPECT_FALSE(std::getline(lines, line)) << line;
    std::istringstream errs(l.errors);
    for (std::string e; std::getline(errs, e);) EXPECT_NE(std::string::npos, e.find("A lone zero block at")) << e;
    std::vector<Seen> py = python(archive);
    ASSERT_EQ(want.size(), py.size());
    for (size_t i = 0; i < want.size(); i++) {
        EXPECT_EQ(want[i].first, py[i].name);
        EXPECT_TRUE(py[i].data == want[i].second) << py[i].name;
        EXPECT_TRUE(gnu_data(archive, want[i].first) == want[i].second) << want[i].first;
    }
}

}  // namespace rd

#endif
