// entry_test.cpp - the adapter's face to the host: command lines and trace
// settings against the options record and run flags; which record fields a
// call writes, the refusals and their texts, the trace of a run; and the
// names the shared library exports (its public names only, all with C linkage).
#include <gtest/gtest.h>

#include <cstring>
#include <iterator>
#include <regex>
#include <set>
#include <sstream>

#include "adapter/adapter.h"
#include "testkit/testkit.h"

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

// Every byte of the record a marker, then the fields a host sets.
void fill_record(EXITPARAM &rec, char *cmd, uint32_t size) {
    memset(&rec, 0xA5, sizeof rec);
    rec.nSize = size;
    rec.pszCmdLine = cmd;
    rec.pInData = nullptr;
    rec.nInLength = 0;
    rec.nTraceMode = 1;
    rec.szTraceFile[0] = '\0';
}

TEST(EntryRecord, WrongSizeLeavesEveryByteAlone) {
    tk::TempDir dir;
    std::string line = "-ARCHIVE a.tar -MEMBER m -x -T " + (dir / "t.log");
    for (uint32_t size : {807u, 809u, 0u}) {
        EXITPARAM rec, before;
        fill_record(rec, line.data(), size);
        memcpy(&before, &rec, sizeof rec);
        Z9TAR_GetArchive(&rec);
        EXPECT_EQ(0, memcmp(&before, &rec, sizeof rec)) << "size " << size;
        Z9TAR_PutArchive(&rec);
        EXPECT_EQ(0, memcmp(&before, &rec, sizeof rec)) << "size " << size;
    }
    // 807 and 809 still reach the named trace; a record too short to hold the
    // trace fields is never read that far.
    EXPECT_NE(std::string::npos, tk::read_file(dir / "t.log").find("Fatal error. EXITPARAM size difference!"));
}

TEST(EntryRecord, ShortRecordIsNeverReadPastItsEnd) {
    // Under AddressSanitizer any read beyond the 64 bytes fails the test.
    auto *rec = static_cast<EXITPARAM *>(calloc(1, 64));
    rec->nSize = 64;
    Z9TAR_GetArchive(rec);
    Z9TAR_PutArchive(rec);
    EXPECT_EQ(64u, rec->nSize);
    free(rec);
    Z9TAR_GetArchive(nullptr);
    Z9TAR_PutArchive(nullptr);
}

// A refused run writes its text, the return code and the empty output, and
// nothing else: the host's reserved bytes and the input fields stay.
TEST(EntryRecord, RefusalsWriteTheirTextAndOnlyTheOutputFields) {
    const char kGet[] = "Invalid_option_(-a_-c_or_-u)_request_for_Z9TAR_GetArchive";
    struct { const char *line; bool put; const char *message; } cases[] = {
        {"-ARCHIVE a.tar", false, "Invalid_command_line_-_missing_entry_name"},
        {"-ARCHIVE a.tar", true, "Invalid_command_line_-_missing_entry_name"},
        {"-MEMBER m", false, "Invalid_command_line_-_missing_data_file_name"},
        {"", true, "Invalid_command_line_-_missing_data_file_name"},
        {"-ARCHIVE a.tar -MEMBER m -c", false, kGet}, {"-ARCHIVE a.tar -MEMBER m -a", false, kGet},
        {"-ARCHIVE a.tar -MEMBER m -u", false, kGet},
        {"-ARCHIVE a.tar -MEMBER m -x", true, "Invalid_option_(-x)_request_for_Z9TAR_PutArchive"},
        {"-ARCHIVE /nonexistent/z9/a.tar -MEMBER m -x", false, "Failed_to_open_archive"}};
    for (const auto &c : cases) {
        std::string line = c.line;
        EXITPARAM rec, before;
        fill_record(rec, line.data(), sizeof rec);
        memcpy(&before, &rec, sizeof rec);
        c.put ? Z9TAR_PutArchive(&rec) : Z9TAR_GetArchive(&rec);
        EXPECT_EQ(-1, rec.nReturnCode) << c.line;
        EXPECT_STREQ(c.message, rec.szMessage) << c.line;
        EXPECT_TRUE(rec.nOutLength == 0 && rec.pOutData == nullptr) << c.line;
        // Everything but return code, message and output is as the host left it.
        memcpy(&rec.nOutLength, &before.nOutLength, sizeof rec.nOutLength);
        memcpy(&rec.pOutData, &before.pOutData, sizeof rec.pOutData);
        memcpy(&rec.nReturnCode, &before.nReturnCode, sizeof rec.nReturnCode + sizeof rec.szMessage);
        EXPECT_EQ(0, memcmp(&rec, &before, sizeof rec)) << c.line;
    }
}

// The trace of a run: where it starts, entries it must hold and must not.
TEST(EntryTrace, WhatARunWrites) {
    tk::TempCwd t;
    const std::string banner = std::string("=== Z9TAR(") + szLundVersionLabel + ") Adapter Log ===\n\n",
                      failed = "Failed to open archive (none.tar)\n\nGetArchive failed\n\n";
    struct { std::string line; uint16_t host; std::string start; std::vector<std::string> also, absent; bool ends; } cases[] = {
        {"-ARCHIVE none.tar -MEMBER m -x -T t.log", 1,
         banner + "Performing initialization for Z9TAR_GetArchive\n\nCommand line in <-ARCHIVE none.tar -MEMBER m -x "
                  "-T t.log>\n\n3 arguments detected\n\nExtracting <m>\n\n", {failed}, {}, true},
        {"-ARCHIVE none.tar -MEMBER m -x -TE t.log", 1, "", {failed}, {"Adapter Log", "Extracting", "End run"}, false},
        {"-T t.log", 1, banner, {"\n\nInvalid_command_line_-_missing_entry_name\n\n"
                                 "Invalid_command_line_-_missing_data_file_name\n\n"}, {"End run"}, false},
        // The host's own trace file is appended to.
        {"-ARCHIVE a.tar", 3, "earlier\n" + banner + "Performing initialization for Z9TAR_PutArchive", {}, {}, false}};
    for (const auto &c : cases) {
        tk::write_file("t.log", "earlier\n");
        tk::Call call(c.line, c.host);
        snprintf(call.rec.szTraceFile, sizeof call.rec.szTraceFile, "t.log");
        c.host == 3 ? call.put("x") : call.get();
        std::string text = tk::read_file("t.log");
        EXPECT_EQ(0u, text.find(c.start)) << c.line;
        for (const auto &e : c.also) EXPECT_NE(std::string::npos, text.find(e)) << c.line << ": " << e;
        for (const auto &e : c.absent) EXPECT_EQ(std::string::npos, text.find(e)) << c.line << ": " << e;
        EXPECT_EQ(c.ends, std::regex_search(text, std::regex("\n\n=== End run. Elapsed time: 00:00:0[0-9] ===\n\n$")));
    }
}

// The words of a text as a set.
std::set<std::string> words(const std::string &text) {
    std::istringstream in(text);
    return {std::istream_iterator<std::string>(in), std::istream_iterator<std::string>()};
}

TEST(Symbols, ExportsThePublicNamesOnly) {
    std::set<std::string> exported = words(tk::sh_out(std::string("nm -D --defined-only -j ") + Z9_LIB_PATH));
    ASSERT_FALSE(exported.empty()) << "nm printed nothing for " << Z9_LIB_PATH;
    for (const std::string &n : words(
             "Z9TAR_GetArchive Z9TAR_PutArchive z9tar_config z9tar_config50 QuickHelp szVersion szFullQRTVersion "
             "szLundVersionLabel szMainProductName szCopyright Z9TAR_Archive Z9TAR_ParseCmdLine OrvList_CreateList "
             "OrvList_GetCount OrvList_AddTail OrvList_AddHead OrvList_RemoveTail OrvList_RemoveHead OrvList_RemoveIndex "
             "OrvList_ViewData OrvList_DestroyList OrvList_DoForEach OrvTokensParse2 OrvTokensParse "
             "OrvTokensResultContainsFlag OrvTokensGetTokenData OrvTokensGetTokenOptMods OrvTokensGetTokenDataByIndex "
             "OrvTokensFreeListNodes OrvLogInit OrvLogOpen OrvLogClose OrvLogSetLevel OrvLogSetMode OrvLogEntry "
             "OrvLogDumpBin OrvTrace TimeDiffHMS a_flag c_flag d_flag x_flag t_flag o_flag file_flag unique_flag "
             "perm_flag uid_flag gid_flag member_flag u_flag mszErrMsg mszFile mperm muid mgid mbuf msize moff "
             "mszFileName gethead headsum scantape extract restore z9tarstore savefile initape steptape readtape "
             "writearch readarch endtape backtape duptape _done hblock st io_buf"))
        EXPECT_TRUE(exported.count(n)) << n << " is not exported";
    for (const std::string &n : words("Z9TAR_AdptInit z9tar_tokens soctus isoctal newfile pfile talign readbuf nblock "
                                      "nread rblock wblock rbyte nbytes nskipped preadfile pwritefile z9_copy z9_error"))
        EXPECT_FALSE(exported.count(n)) << n << " is exported";
    // Nothing C++ leaks out: every exported name has C linkage.
    for (const std::string &n : exported) EXPECT_NE(0u, n.rfind("_Z", 0)) << n << " is a C++ name";
}

}  // namespace
