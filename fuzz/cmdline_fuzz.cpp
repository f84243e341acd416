// cmdline_fuzz.cpp - the command-line parser: the adapter's own parse of any
// line, and the token library with a table made from the input as well.
#include <cstdint>
#include <cstring>
#include <string>
#include <vector>

#include "adapter/adapter.h"

extern "C" int LLVMFuzzerTestOneInput(const uint8_t *data, size_t size) {
    // The input is "line \0 name \0 name \0 ...": the first part is the line,
    // the rest the names of a token table.
    std::string all(reinterpret_cast<const char *>(data), size);
    std::vector<std::string> parts;
    size_t start = 0;
    for (size_t i = 0; i <= all.size(); i++) {
        if (i == all.size() || all[i] == '\0') {
            parts.push_back(all.substr(start, i - start));
            start = i + 1;
        }
    }
    CMDLINEPARAM opts;
    memset(&opts, 0, sizeof opts);
    Z9TAR_ParseCmdLine(parts[0].c_str(), &opts, static_cast<int>(size % 5), "host.log");
    if (opts.szMember[kMemberSize - 1] || opts.szArchive[kPathSize - 1] || opts.szTrace[kPathSize - 1]) abort();

    std::vector<OrvTokenDef> table;
    for (size_t i = 1; i < parts.size() && table.size() < 64; i++)
        table.push_back(OrvTokenDef{parts[i].c_str(), static_cast<int32_t>(i)});
    if (table.empty()) return 0;
    OrvList *list = OrvList_CreateList();
    if (!list) return 0;
    int n = OrvTokensParse2(parts[0].c_str(), table.data(), static_cast<int>(table.size()),
                            static_cast<int>(size & 1), list);
    for (int i = 0; i < n; i++) {
        int id = 0;
        if (const char *v = OrvTokensGetTokenDataByIndex(list, i, &id))
            if (strnlen(v, kTokenValueSize) >= kTokenValueSize) abort();
        (void)OrvTokensGetTokenOptMods(list, id);
    }
    OrvTokensFreeListNodes(list);
    OrvList_DestroyList(list);
    return 0;
}
