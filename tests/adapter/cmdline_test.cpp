// cmdline_test.cpp - command lines and host trace settings against the
// options record, the run flags and the count of accepted arguments.
#include <gtest/gtest.h>

#include <string>

#include "adapter/adapter.h"

namespace {

// Renders a parse: the count, the texts and numbers, the names of set flags.
std::string parse(const std::string &line, int host) {
    CMDLINEPARAM o = {};
    a_flag = u_flag = 1;  // left over from an earlier call: every parse clears them
    std::string r = "n=" + std::to_string(Z9TAR_ParseCmdLine(line.c_str(), &o, host, "host.zvl"));
    for (auto [k, v] : {std::pair{" M=", o.szMember}, {" A=", o.szArchive}, {" F=", o.szFile}, {" T=", o.szTrace}})
        if (*v) r += k + std::string(v);
    r += " uid=" + std::to_string(o.nUid) + " gid=" + std::to_string(o.nGid) + " perm=" + std::to_string(o.nPerm);
    const std::pair<const char *, int> flags[] = {
        {"a", a_flag}, {"c", c_flag}, {"d", d_flag}, {"x", x_flag}, {"t", t_flag}, {"o", o_flag},
        {"file", file_flag}, {"uniq", unique_flag}, {"perm", perm_flag}, {"uid", uid_flag},
        {"gid", gid_flag}, {"mem", member_flag}, {"u", u_flag}, {"Add", o.bAdd}, {"Create", o.bCreate},
        {"Del", o.bDelete}, {"NoChown", o.bNoChown}, {"Cat", o.bCatalog}, {"Ext", o.bExtract},
        {"File", o.bFile}, {"Uniq", o.bUnique}, {"Tr", o.bTrace}, {"App", o.bTraceAppend},
        {"Err", o.bTraceOnError}, {"Named", o.bTraceNamed}, {"host3", o.nHostTraceMode == 3}};
    for (auto [name, set] : flags)
        if (set) r += std::string(" ") + name;
    return r;
}

TEST(CmdLine, LinesToOptions) {
    const std::string m99(99, 'm'), t200(200, 't'), none = " uid=0 gid=0 perm=511";
    struct { std::string line; int host; std::string want; } cases[] = {
        {"-archive /tmp/a.tar -member x -X", 1, "n=2 M=x A=/tmp/a.tar" + none + " x mem Ext"},
        {"-MEMBER my file.txt -x", 1, "n=1 M=my file.txt" + none + " x mem Ext"},
        {"-ARCHIVE a-b.tar -UID -5 -GID 12", 1, "n=2 A=a-b.tar uid=0 gid=12 perm=511 gid"},
        {"-PERM 644 -uid x", 1, "n=2 uid=0 gid=0 perm=420 perm uid"},
        {"-PERM 9", 1, "n=1 uid=0 gid=0 perm=0 perm"},
        {"-c", 1, "n=0" + none + " a c Create"},
        {"-u -UNIQUE -o -CAT -d -a", 1, "n=0" + none + " a d t o uniq u Add Del NoChown Cat Uniq"},
        {"-FILE", 1, "n=0" + none},
        {"-FILE data.bin -MEMBER " + m99 + "m", 1, "n=1 F=data.bin" + none + " file File"},
        {"-MEMBER a -MEMBER b", 1, "n=1 M=a" + none + " mem"},
        {"-T", 1, "n=0 T=z9tar.zvl" + none + " Tr Named"},
        {"-T t.log -TE e.log", 1, "n=1 T=t.log" + none + " Tr Err Named"},
        {"-TE+", 1, "n=0 T=z9tar.zvl" + none + " Tr App Err"},
        {"-TA a.log -T+ " + t200, 1, "n=2 T=" + t200 + none + " Tr App Named"},
        {"-T t.log", 0, "n=0" + none + " Tr Named"},
        {"-T t.log -MEMBER x", 3, "n=2 M=x T=host.zvl" + none + " mem Tr App Named host3"},
        {"", 3, "n=1 T=host.zvl" + none + " Tr App host3"},
        {"", 1, "n=0" + none}, {"x", 1, "n=0" + none},
        {"-U -UID 7", 1, "n=1 uid=7 gid=0 perm=511 a uid u"},
    };
    for (auto &c : cases) EXPECT_EQ(parse(c.line, c.host), c.want) << c.line;
}

}  // namespace
