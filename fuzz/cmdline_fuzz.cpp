// cmdline_fuzz.cpp - the command-line parser: the adapter's parse of any line,
// and the token parser with a table made from the input as well. The input is
// "line \0 name \0 name ...": the line, then the names of the token table.
#include <cstdlib>
#include <cstring>
#include <string>
#include <vector>

#include "adapter/adapter.h"

extern "C" int LLVMFuzzerTestOneInput(const uint8_t *data, size_t size) {
    std::vector<std::string> parts(1);
    for (size_t i = 0; i < size; i++) {
        if (data[i]) parts.back().push_back(static_cast<char>(data[i]));
        else parts.emplace_back();
    }
    CMDLINEPARAM o = {};
    Z9TAR_ParseCmdLine(parts[0].c_str(), &o, static_cast<int>(size % 5), "host.log");
    // Every field it fills keeps its last byte zero.
    if (o.szMember[kMemberSize - 1] || o.szArchive[kPathSize - 1]) abort();
    if (o.szFile[kPathSize - 1] || o.szTrace[kPathSize - 1]) abort();
    std::vector<OrvTokenDef> table;
    for (size_t i = 1; i < parts.size() && i <= 64; i++) table.push_back({parts[i].data(), int(i)});
    OrvList *list = OrvList_CreateList();
    int n = OrvTokensParse2(parts[0].c_str(), table.data(), std::ssize(table), size & 1, list);
    for (int i = 0; i < n; i++) {
        const char *value = OrvTokensGetTokenDataByIndex(list, i, nullptr);
        if (strnlen(value, kTokenValueSize) == kTokenValueSize) abort();   // always terminated
    }
    OrvTokensFreeListNodes(list);
    OrvList_DestroyList(list);
    return 0;
}
