// symbols_test.cpp - the shared library exports exactly its public names:
// the entry points and records, the support families, the engine operations
// and run state, and none of the private routines.
#include <gtest/gtest.h>

#include <set>
#include <sstream>

#include "testkit/testkit.h"

namespace {

std::set<std::string> exported() {
    std::string out = tk::sh_out(std::string("nm -D --defined-only ") + Z9_LIB_PATH);
    std::set<std::string> names;
    std::istringstream in(out);
    std::string line;
    while (std::getline(in, line)) {
        auto pos = line.rfind(' ');
        if (pos != std::string::npos) names.insert(line.substr(pos + 1));
    }
    return names;
}

const char *const kMustExport[] = {
    "Z9TAR_GetArchive", "Z9TAR_PutArchive", "z9tar_config", "z9tar_config50", "QuickHelp",
    "szVersion", "szFullQRTVersion", "szLundVersionLabel", "szMainProductName", "szCopyright",
    "Z9TAR_Archive", "Z9TAR_ParseCmdLine",
    "OrvList_CreateList", "OrvList_GetCount", "OrvList_AddTail", "OrvList_AddHead", "OrvList_RemoveTail",
    "OrvList_RemoveHead", "OrvList_RemoveIndex", "OrvList_ViewData", "OrvList_DestroyList", "OrvList_DoForEach",
    "OrvTokensParse2", "OrvTokensParse", "OrvTokensResultContainsFlag", "OrvTokensGetTokenData",
    "OrvTokensGetTokenOptMods", "OrvTokensGetTokenDataByIndex", "OrvTokensFreeListNodes",
    "OrvLogInit", "OrvLogOpen", "OrvLogClose", "OrvLogSetLevel", "OrvLogSetMode", "OrvLogEntry", "OrvLogDumpBin",
    "OrvTrace", "TimeDiffHMS",
    "a_flag", "c_flag", "d_flag", "x_flag", "t_flag", "o_flag", "file_flag", "unique_flag", "perm_flag",
    "uid_flag", "gid_flag", "member_flag", "u_flag",
    "mszErrMsg", "mszFile", "mperm", "muid", "mgid", "mbuf", "msize", "moff", "mszFileName",
    "gethead", "headsum", "scantape", "extract", "restore", "z9tarstore", "savefile", "initape", "steptape",
    "readtape", "writearch", "readarch", "endtape", "backtape", "duptape", "_done", "hblock", "st", "io_buf",
};

const char *const kMustNotExport[] = {
    "Z9TAR_AdptInit", "z9tar_tokens", "soctus", "isoctal", "newfile", "pfile", "talign", "readbuf",
    "nblock", "nread", "rblock", "wblock", "rbyte", "nbytes", "nskipped", "preadfile", "pwritefile",
    "z9_copy", "z9_error",
};

TEST(Symbols, ExportsThePublicNames) {
    std::set<std::string> names = exported();
    ASSERT_FALSE(names.empty()) << "nm printed nothing for " << Z9_LIB_PATH;
    for (const char *n : kMustExport) EXPECT_TRUE(names.count(n)) << n << " is not exported";
}

TEST(Symbols, HidesThePrivateNames) {
    std::set<std::string> names = exported();
    for (const char *n : kMustNotExport) EXPECT_FALSE(names.count(n)) << n << " is exported";
    // Nothing C++ leaks out: every exported name has C linkage.
    for (const std::string &n : names) EXPECT_NE(0u, n.rfind("_Z", 0)) << n << " is a C++ name";
}

}  // namespace
