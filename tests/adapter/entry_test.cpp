// entry_test.cpp - the entry points' contract with the host: which record
// fields a call writes, the refusals and their texts, the trace lines of a
// run, the description records and the version strings.
#include <gtest/gtest.h>

#include <cstdlib>
#include <cstring>
#include <regex>

#include "testkit/testkit.h"

namespace {

// Fills every byte of the record with a marker, then the fields a host sets.
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
    std::string trace = dir / "t.log";
    for (uint32_t size : {807u, 809u, 0u}) {
        std::string line = "-ARCHIVE a.tar -MEMBER m -x -T " + trace;
        EXITPARAM rec, before;
        fill_record(rec, line.data(), size);
        memcpy(&before, &rec, sizeof rec);
        Z9TAR_GetArchive(&rec);
        EXPECT_EQ(0, memcmp(&before, &rec, sizeof rec)) << "size " << size;
        Z9TAR_PutArchive(&rec);
        EXPECT_EQ(0, memcmp(&before, &rec, sizeof rec)) << "size " << size;
    }
    // 807 and 809 still reach the named trace; a record too short to hold the
    // trace fields is never read that far, so nothing is written for 0.
    EXPECT_NE(std::string::npos, tk::read_file(trace).find("Fatal error. EXITPARAM size difference!"));
}

TEST(EntryRecord, ShortRecordIsNeverReadPastItsEnd) {
    // Under AddressSanitizer any read beyond the 64 bytes fails the test.
    auto *rec = static_cast<EXITPARAM *>(malloc(64));
    memset(rec, 0, 64);
    rec->nSize = 64;
    Z9TAR_GetArchive(rec);
    Z9TAR_PutArchive(rec);
    EXPECT_EQ(64u, rec->nSize);
    free(rec);
    Z9TAR_GetArchive(nullptr);
    Z9TAR_PutArchive(nullptr);
}

TEST(EntryRecord, RefusalWritesOnlyTheOutputFields) {
    std::string line = "-MEMBER m";
    EXITPARAM rec, before;
    fill_record(rec, line.data(), sizeof rec);
    memcpy(&before, &rec, sizeof rec);
    Z9TAR_GetArchive(&rec);
    EXPECT_EQ(-1, rec.nReturnCode);
    EXPECT_EQ(0u, rec.nOutLength);
    EXPECT_EQ(nullptr, rec.pOutData);
    EXPECT_STREQ("Invalid_command_line_-_missing_data_file_name", rec.szMessage);
    // The host's reserved bytes and every input field are untouched.
    EXPECT_EQ(0, memcmp(rec.reserved12, before.reserved12, sizeof rec.reserved12));
    EXPECT_EQ(0, memcmp(rec.reserved48, before.reserved48, sizeof rec.reserved48));
    EXPECT_EQ(0, memcmp(rec.reserved802, before.reserved802, sizeof rec.reserved802));
    EXPECT_EQ(0, memcmp(rec.szFileName, before.szFileName, sizeof rec.szFileName));
    EXPECT_EQ(before.nInLength, rec.nInLength);
    EXPECT_EQ(before.pszCmdLine, rec.pszCmdLine);
}

struct Refusal {
    const char *line;
    bool put;
    const char *message;
};

class EntryRefusal : public ::testing::TestWithParam<Refusal> {};

TEST_P(EntryRefusal, StopsWithItsText) {
    const Refusal &r = GetParam();
    tk::Call call(r.line);
    snprintf(call.rec.szMessage, sizeof call.rec.szMessage, "host text");
    int rc = r.put ? call.put("data") : call.get();
    EXPECT_EQ(-1, rc);
    EXPECT_EQ(r.message, call.message());
    EXPECT_EQ(nullptr, call.rec.pOutData);
}

INSTANTIATE_TEST_SUITE_P(
    Texts, EntryRefusal,
    ::testing::Values(
        Refusal{"-ARCHIVE a.tar", false, "Invalid_command_line_-_missing_entry_name"},
        Refusal{"-ARCHIVE a.tar", true, "Invalid_command_line_-_missing_entry_name"},
        Refusal{"-MEMBER m", false, "Invalid_command_line_-_missing_data_file_name"},
        Refusal{"", true, "Invalid_command_line_-_missing_data_file_name"},
        Refusal{"-ARCHIVE a.tar -MEMBER m -c", false, "Invalid_option_(-a_-c_or_-u)_request_for_Z9TAR_GetArchive"},
        Refusal{"-ARCHIVE a.tar -MEMBER m -a", false, "Invalid_option_(-a_-c_or_-u)_request_for_Z9TAR_GetArchive"},
        Refusal{"-ARCHIVE a.tar -MEMBER m -u", false, "Invalid_option_(-a_-c_or_-u)_request_for_Z9TAR_GetArchive"},
        Refusal{"-ARCHIVE a.tar -MEMBER m -x", true, "Invalid_option_(-x)_request_for_Z9TAR_PutArchive"},
        Refusal{"-ARCHIVE /nonexistent/z9/a.tar -MEMBER m -x", false, "Failed_to_open_archive"}));

TEST(EntryTrace, BothMissingNamesAreLogged) {
    tk::TempDir dir;
    std::string trace = dir / "t.log";
    tk::Call call("-T " + trace);
    call.get();
    std::string text = tk::read_file(trace);
    EXPECT_NE(std::string::npos, text.find("Invalid_command_line_-_missing_entry_name\n\n"));
    EXPECT_NE(std::string::npos, text.find("Invalid_command_line_-_missing_data_file_name\n\n"));
    EXPECT_EQ("Invalid_command_line_-_missing_data_file_name", call.message());
}

TEST(EntryTrace, FullRunLinesInOrder) {
    tk::TempDir dir;
    std::string trace = dir / "t.log";
    std::string line = "-ARCHIVE " + (dir / "none.tar") + " -MEMBER m -x -T " + trace;
    tk::Call call(line);
    call.get();
    std::string text = tk::read_file(trace);
    std::string expect_start = std::string("=== Z9TAR(") + szLundVersionLabel + ") Adapter Log ===\n\n" +
                               "Performing initialization for Z9TAR_GetArchive\n\n" + "Command line in <" + line +
                               ">\n\n" + "3 arguments detected\n\n" + "Extracting <m>\n\n";
    EXPECT_EQ(expect_start, text.substr(0, expect_start.size()));
    EXPECT_NE(std::string::npos, text.find("GetArchive failed\n\n"));
    EXPECT_TRUE(std::regex_search(text, std::regex("=== End run. Elapsed time: 00:00:0[0-9] ===\n\n$")));
}

TEST(EntryTrace, ErrorOnlyKeepsErrorsAndTheFailure) {
    tk::TempDir dir;
    std::string trace = dir / "e.log";
    tk::Call call("-ARCHIVE " + (dir / "none.tar") + " -MEMBER m -x -TE " + trace);
    call.get();
    std::string text = tk::read_file(trace);
    EXPECT_EQ(std::string::npos, text.find("Adapter Log"));
    EXPECT_EQ(std::string::npos, text.find("Extracting"));
    EXPECT_EQ(std::string::npos, text.find("End run"));
    EXPECT_NE(std::string::npos, text.find("Failed to open archive ("));
    EXPECT_NE(std::string::npos, text.find("GetArchive failed\n\n"));
}

TEST(EntryTrace, HostTraceModeThreeAppendsToTheHostFile) {
    tk::TempDir dir;
    std::string trace = dir / "host.log";
    tk::write_file(trace, "earlier\n");
    tk::Call call("-ARCHIVE a.tar", 3);
    snprintf(call.rec.szTraceFile, sizeof call.rec.szTraceFile, "%s", trace.c_str());
    call.put("x");
    std::string text = tk::read_file(trace);
    EXPECT_EQ(0u, text.find("earlier\n"));
    EXPECT_NE(std::string::npos, text.find("Performing initialization for Z9TAR_PutArchive"));
}

TEST(EntryRecords, DescriptionRecordsByteForByte) {
    const auto *c = reinterpret_cast<const unsigned char *>(&z9tar_config);
    auto u32 = [](const unsigned char *p) { uint32_t v; memcpy(&v, p, 4); return v; };
    EXPECT_EQ(160u, u32(c));
    for (int off = 4; off < 64; off++) EXPECT_EQ(0, c[off]) << off;
    EXPECT_STREQ("", z9tar_config.pEmpty);
    EXPECT_EQ(25u, u32(c + 72));
    EXPECT_EQ(29u, u32(c + 76));
    const uint32_t six[] = {7, 1, 2, 1, 1, 2};
    for (int i = 0; i < 6; i++) {
        EXPECT_EQ(six[i], u32(c + 104 + 4 * i));
        EXPECT_EQ(six[i], u32(c + 136 + 4 * i));
    }
    EXPECT_EQ(104u, z9tar_config50.nLength);
    for (int i = 0; i < 12; i++) {
        if (i == 2 || i == 3) continue;
        EXPECT_EQ(z9tar_config.pEmpty, z9tar_config50.pNames[i]) << i;  // one shared empty string
    }
    EXPECT_STREQ("Z9TAR_GetArchive", z9tar_config50.pNames[2]);
    EXPECT_STREQ("Z9TAR_PutArchive", z9tar_config50.pNames[3]);
}

TEST(EntryRecords, VersionStringsFitAndAgree) {
    EXPECT_TRUE(std::regex_match(szVersion, std::regex(R"(\d+\.\d+\(\d+\))")));
    EXPECT_TRUE(std::regex_match(szFullQRTVersion, std::regex(R"(\d+\.\d+\.\d+\.\d+\(\d+\)_64bit)")));
    EXPECT_EQ(std::string("LundVerLabel=") + szFullQRTVersion, szLundVersionLabel);
    EXPECT_LT(strlen(szMainProductName), sizeof szMainProductName);
    EXPECT_LT(strlen(szCopyright), sizeof szCopyright);
}

TEST(EntryHelp, PrintsTheTokenTable) {
    testing::internal::CaptureStdout();
    int last = QuickHelp();
    std::string text = testing::internal::GetCapturedStdout();
    EXPECT_EQ(0u, text.find("\nExported functions:\n"));
    EXPECT_NE(std::string::npos, text.find("-x      N    Specify extract from archvie \t\t\t-x\n"));
    const char tail[] = "-TE+    N    Append to trace file on error        \t-TE+ trace.txt or just -TE+\n";
    EXPECT_EQ(static_cast<int>(strlen(tail)), last);
    EXPECT_EQ(text.size() - strlen(tail), text.rfind(tail));
}

}  // namespace
