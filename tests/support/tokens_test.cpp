// tokens_test.cpp - the general token parser: name and value rules, where the
// scan resumes, modifier letters, table names of any length, and accessors.
#include <gtest/gtest.h>

#include <string>

#include "support/orv.h"

namespace {

const std::string kLong(1000, 'L');
const OrvTokenDef kTable[] = {
    {"T", 1}, {"TE", 2}, {"X,abc", 3}, {"ABCDEFGHIJKLMNOP", 4}, {kLong.c_str(), 5},
    {"M,0123456789012345678901234567890123Z", 6}, {"E,", 7},
};

// Parses and renders the nodes as "count|id:mods:value|...".
std::string parse(const char *line, int caseSensitive = 0) {
    OrvList *l = OrvList_CreateList();
    std::string out = std::to_string(OrvTokensParse2(line, kTable, 7, caseSensitive, l));
    for (int p = 0; p < OrvList_GetCount(l); p++) {
        auto *t = (OrvTokenNode *)OrvList_ViewData(l, p);
        out += "|" + std::to_string(t->id) + ":" + std::to_string(t->mods) + ":" + t->value;
    }
    OrvTokensFreeListNodes(l);
    OrvList_DestroyList(l);
    return out;
}

TEST(Tokens, ParseTable) {
    const std::string v255(255, 'v');
    struct { std::string line, want; } cases[] = {
        {"", "0"}, {"-", "0"}, {"x-T", "1|1:0:"},
        {"-T my file -TE", "2|1:0:my file|2:0:"},
        {"-t   a-b \"q\"   -te  ", "2|1:0:a-b \"q\"|2:0:"},
        {"-TEX -T\tx", "0"},                       // no prefix match; a tab is no separator
        {"-TE -5", "1|2:0:"},                      // a dash after a blank ends the value
        {"-Xca -X -Xbb -Xd -Xz", "3|3:5:|3:0:|3:2:"},
        {"-ABCDEFGHIJKLMNOP v", "1|4:0:v"},
        {"-ABCDEFGHIJKLMNOP", "0"},                // 16 characters ending the line
        {"-ABCDEFGHIJKLMNOPQ-T", "1|1:0:"},        // scan resumes after the 16 taken
        {"-" + kLong, "0"},
        {"-M3 -MZ -E", "1|6:8:"},                  // letters past the 32nd, empty lists
        {"-T " + v255 + "-TE z", "2|1:0:" + v255 + "-|2:0:z"},  // cut at 256, rest scanned
    };
    for (auto &c : cases) EXPECT_EQ(parse(c.line.c_str()), c.want) << c.line;
    EXPECT_EQ(parse("-t x -T y", 1), "1|1:0:y");
}

TEST(Tokens, InvalidArgumentsAndAccessors) {
    OrvList *l = OrvList_CreateList();
    EXPECT_EQ(OrvTokensParse2(nullptr, kTable, 7, 0, l), 0);
    EXPECT_EQ(OrvTokensParse("-TE a -Xb -TE b", kTable, 7, l), 3);
    EXPECT_EQ(OrvTokensResultContainsFlag(l, 3), 1);
    EXPECT_EQ(OrvTokensResultContainsFlag(l, 1), -1);
    EXPECT_STREQ(OrvTokensGetTokenData(l, 2), "a");  // the first of an id wins
    EXPECT_EQ(OrvTokensGetTokenOptMods(l, 3), 2u);
    int id = 0;
    EXPECT_EQ(OrvTokensGetTokenDataByIndex(l, 3, &id), nullptr);
    EXPECT_EQ(id, -1);
    EXPECT_EQ(OrvTokensFreeListNodes(l), 3);
    OrvList_DestroyList(l);
}

}  // namespace
