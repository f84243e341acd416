// entry_test.cpp - the adapter's face to the host: command lines against the
// options record and run flags, with and without -STRICT; the operator's
// Z9TAR_OPTIONS; which record fields a call writes, and its refusals.
#include <gtest/gtest.h>

#include "adapter/adapter.h"
#include "testkit/testkit.h"

namespace {

// A parse as text: the count, the texts, uid/gid/perm, the names of set flags.
std::string parse(const std::string &line, int host) {
    CMDLINEPARAM o = {};
    a_flag = u_flag = 1;  // left over from an earlier call: every parse clears them
    std::string r = std::to_string(Z9TAR_ParseCmdLine(line.c_str(), &o, host, "host.zvl"));
    for (auto [key, text] : {std::pair{" M=", o.szMember}, {" A=", o.szArchive}, {" F=", o.szFile},
                             {" T=", o.szTrace}})
        if (*text) r += key + std::string(text);
    r += " " + std::to_string(o.nUid) + "/" + std::to_string(o.nGid) + "/";
    r += std::to_string(o.nPerm);
    const std::pair<const char *, int> flags[] = {
        {"a", a_flag}, {"c", c_flag}, {"d", d_flag}, {"x", x_flag}, {"t", t_flag}, {"o", o_flag},
        {"file", file_flag}, {"unique", unique_flag}, {"perm", perm_flag}, {"uid", uid_flag},
        {"gid", gid_flag}, {"member", member_flag}, {"u", u_flag}, {"trace", o.bTrace},
        {"append", o.bTraceAppend}, {"errors", o.bTraceOnError}, {"named", o.bTraceNamed},
        {"posix", posix_flag}, {"safe", safe_flag}, {"compress", compress_flag}};
    for (auto [name, set] : flags) r += set ? std::string(" ") + name : "";
    return r + (*mcompress ? " C=" + std::string(mcompress) : "");
}

// Each line parsed as it is, then with -STRICT added: the options come out
// the same, and -STRICT names the first thing the parse passed over in silence.
TEST(CmdLine, LinesToOptions) {
    const std::string m99(99, 'm'), t256(256, 't'), p300(300, 'p');
    struct { std::string line; int host; std::string want, strict; } cases[] = {
        {"-archive /tmp/a.tar -member x -X", 1, "2 M=x A=/tmp/a.tar 0/0/511 x member", ""},
        {"-MEMBER my file.txt -x", 1, "1 M=my file.txt 0/0/511 x member", ""},
        {"-ARCHIVE a-b.tar -UID -5 -GID 12", 1, "2 A=a-b.tar 0/12/511 gid", "'-UID' needs a value"},
        {"-PERM 644 -uid x", 1, "2 0/0/420 perm uid", "'-uid' value 'x' is not a decimal number"},
        {"-c", 1, "0 0/0/511 a c", ""},
        {"-u -UNIQUE -o -CAT -d -a", 1, "0 0/0/511 a d t o unique u", ""},
        {"-U -UID 789", 1, "1 789/0/511 a uid u", ""},
        {"-MEMBER " + m99, 1, "1 M=" + m99 + " 0/0/511 member", ""},
        {"-FILE data.bin -MEMBER " + m99 + "m", 1, "1 F=data.bin 0/0/511 file",
         "'-MEMBER' value of 100 characters is longer than 99"},
        {"-T t.log -TE e.log", 1, "1 T=t.log 0/0/511 trace errors named", ""},
        {"-TE+", 1, "0 T=z9tar.zvl 0/0/511 trace append errors", ""},
        {"-TA a.log -T+ " + t256, 1, "2 T=" + t256 + " 0/0/511 trace append named", ""},
        {"-T t.log", 0, "0 0/0/511 trace named", ""},
        {"-T t.log -MEMBER x", 3, "2 M=x T=host.zvl 0/0/511 member trace append named", ""},
        {"", 3, "1 T=host.zvl 0/0/511 trace append", ""},
        {"-TE+", 3, "1 T=host.zvl 0/0/511 trace append errors", ""},
        {"-posix -Safe -COMPRESS Zstd -c", 1, "0 0/0/511 a c posix safe compress C=Zstd", ""},
        {"-ARCHIVE a.tar -SAEF -x", 1, "1 A=a.tar 0/0/511 x", "unknown token '-SAEF'"},
        {"-ABCDEFGHIJKLMNOP-x", 1, "0 0/0/511 x", "unknown token '-ABCDEFGHIJKLMNOP-x'"},
        {"junk -x", 1, "0 0/0/511 x", "text 'junk' belongs to no token"},
        {"-x entry1", 1, "0 0/0/511 x", "'-x' takes no value, not 'entry1'"},
        {"-FILE -x", 1, "0 0/0/511 x", "'-FILE' needs a value"},
        {"-MEMBER a -member b", 1, "1 M=a 0/0/511 member",
         "'-member' given twice with different values ('a', 'b')"},
        {"-MEMBER a- -member a- -x -X", 1, "1 M=a- 0/0/511 x member", ""},
        {"-ARCHIVE " + p300, 1, "1 A=" + p300.substr(0, 256) + " 0/0/511",
         "'-ARCHIVE' value of 300 characters is longer than 256"},
        {"-PERM 9", 1, "1 0/0/0 perm", "'-PERM' value '9' is not an octal mode"},
        {"-GID 99999999999", 1, "1 0/2147483647/511 gid",
         "'-GID' value '99999999999' is not a decimal number"}};
    for (auto &c : cases) {
        EXPECT_EQ(parse(c.line, c.host), c.want) << c.line;
        EXPECT_STREQ("", mcmdline_error) << c.line;
        EXPECT_EQ(parse(c.line + " -STRICT", c.host), c.want) << c.line;
        EXPECT_EQ(c.strict, mcmdline_error) << c.line;
    }
}

// The operator's tokens go first: -SAFE refuses what the call's own line
// would extract, the operator's trace name wins, and -STRICT fails a call
// before it opens the archive, with the text in the record and the trace.
TEST(CmdLine, OperatorOptionsComeFirst) {
    tk::Cwd t;
    tk::write_file("evil.tar", tk::archive({{.name = "../x", .data = "outside"}}));
    const std::string line = "-ARCHIVE evil.tar -MEMBER ../x -x -T mine.log";
    EXPECT_EQ(tk::kGot, tk::Call(line).get());
    setenv("Z9TAR_OPTIONS", "-SAFE -T policy.log", 1);
    EXPECT_EQ("-1 '../x' is refused: its path leaves the extraction directory",
              tk::Call(line).get());
    EXPECT_NE(std::string::npos, tk::read_file("policy.log").find("Z9TAR_OPTIONS <-SAFE -T"));
    setenv("Z9TAR_OPTIONS", "-STRICT -TE policy.log", 1);
    tk::Call strict("-ARCHIVE new.tar -MEMBER m -c -COMPRES gzip");
    EXPECT_EQ("-1 unknown token '-COMPRES'", strict.put("data"));
    unsetenv("Z9TAR_OPTIONS");
    EXPECT_EQ(0, tk::status("new.tar").st_mode);
    EXPECT_NE(std::string::npos, tk::read_file("policy.log").find("unknown token '-COMPRES'"));
}

// A record of the wrong size is left alone to the last byte (though 807 and
// 809 still reach the trace the line names); a refused run writes only its
// text, the return code and the empty output. Every byte starts as a marker.
// The library shows a host exactly its entry points, records, strings and the
// design's operations and run state, and needs no C++ runtime.
TEST(EntryRecord, ExportsAndNeeds) {
    std::string lib = Z9_LIB_PATH;
    std::string names = "\n" + tk::sh_out("nm -D --defined-only " + lib + " | awk '{print $3}'");
    for (std::string name : {"Z9TAR_GetArchive", "z9tar_config50", "QuickHelp", "gethead", "mbuf"})
        EXPECT_NE(std::string::npos, names.find("\n" + name + "\n")) << name;
    for (std::string name :
         {"Z9TAR_AdptInit", "z9tar_tokens", "posix_flag", "mcmdline", "index_", "_Z"})
        EXPECT_EQ(std::string::npos, names.find(name)) << name;
    // A sanitized build's runtime brings its own C++ library along.
    std::string needed = tk::sh_out("readelf -d " + lib + " | grep NEEDED");
    bool sanitized = needed.find("san.so") != std::string::npos;
    EXPECT_TRUE(sanitized || needed.find("libstdc++") == std::string::npos) << needed;
}

TEST(EntryRecord, WrongSizesAndRefusalsWriteOnlyWhatTheyMust) {
    tk::Cwd t;
    const char kGet[] = "Invalid_option_(-a_-c_or_-u)_request_for_Z9TAR_GetArchive",
               kPut[] = "Invalid_option_(-x)_request_for_Z9TAR_PutArchive";
    struct { const char *line; bool put; uint32_t size; const char *message; } cases[] = {
        {"-ARCHIVE a.tar -MEMBER m -x -T t.log", false, 807, nullptr},
        {"-ARCHIVE a.tar -MEMBER m -x -T t.log", true, 809, nullptr},
        {"-ARCHIVE a.tar", false, 808, "Invalid_command_line_-_missing_entry_name"},
        {"-MEMBER m", false, 808, "Invalid_command_line_-_missing_data_file_name"},
        {"-ARCHIVE a.tar -MEMBER m -c", false, 808, kGet},
        {"-ARCHIVE a.tar -MEMBER m -x", true, 808, kPut},
        {"-ARCHIVE /nonexistent/z9/a.tar -MEMBER m -x", false, 808, "Failed_to_open_archive"}};
    for (const auto &c : cases) {
        std::string line = c.line;
        EXITPARAM rec;
        memset(&rec, 0xA5, sizeof rec);
        rec.nSize = c.size;
        rec.pszCmdLine = line.data();
        rec.nTraceMode = 1;
        EXITPARAM want = rec;
        c.put ? Z9TAR_PutArchive(&rec) : Z9TAR_GetArchive(&rec);
        if (c.message) {
            EXPECT_STREQ(c.message, rec.szMessage);
            memcpy(want.szMessage, rec.szMessage, sizeof want.szMessage);
            want.nReturnCode = -1;
            want.nOutLength = 0;
            want.pOutData = nullptr;
        }
        EXPECT_EQ(0, memcmp(&rec, &want, sizeof rec)) << c.line << " " << c.size;
    }
    EXPECT_NE(std::string::npos, tk::read_file("t.log").find("Fatal error. EXITPARAM size"));
    auto *small = static_cast<EXITPARAM *>(calloc(1, 64));   // never read past its 64 bytes
    small->nSize = 64;
    Z9TAR_GetArchive(small);
    Z9TAR_PutArchive(small);
    free(small);
    Z9TAR_GetArchive(nullptr);
    Z9TAR_PutArchive(nullptr);
}

}  // namespace
