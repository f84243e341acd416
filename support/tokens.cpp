/* tokens.cpp - the general token parser: scans a line for "-name value"
 * tokens, looks each name up in a caller's table and appends the recognised
 * ones, as OrvTokenNode records, to a caller's list. No process-wide state;
 * the nodes are the caller's to free with OrvTokensFreeListNodes. */
#include <algorithm>
#include <cctype>
#include <cstdlib>
#include <cstring>

#include "orv.h"

namespace {

constexpr char kBlank = ' ';     // the only separator; tabs belong to names and values
constexpr int kMaxModifiers = 32;  // one mask bit per modifier letter

char fold(char c, int caseSensitive) {
    return caseSensitive ? c : static_cast<char>(toupper(static_cast<unsigned char>(c)));
}

/* Position of c among the first kMaxModifiers letters of a modifier list,
 * or -1. Letters past the 32nd have no mask bit, so they never match. */
int modifier_position(const char *letters, char c, int caseSensitive) {
    for (int p = 0; p < kMaxModifiers && letters[p]; p++)
        if (fold(letters[p], caseSensitive) == c) return p;
    return -1;
}

/* Matches one table entry against a token name (already folded). The table
 * name is compared in place, never copied, so any length is safe. */
bool entry_matches(const char *entry, const char *name, int caseSensitive, uint32_t *mods) {
    const char *comma = strchr(entry, ',');
    size_t base = comma ? static_cast<size_t>(comma - entry) : strlen(entry);
    size_t i = 0;
    for (; i < base; i++)
        if (!name[i] || fold(entry[i], caseSensitive) != name[i]) return false;
    if (!comma) return name[i] == '\0';

    // "BASE,letters": every character after the base must be one of the letters.
    const char *letters = comma + 1;
    if (!*letters) return false;
    uint32_t mask = 0;
    for (; name[i]; i++) {
        int p = modifier_position(letters, name[i], caseSensitive);
        if (p < 0) return false;
        mask |= 1u << p;
    }
    *mods = mask;
    return true;
}

/* The id of the first entry in table order that matches, or 0. */
int32_t lookup(const char *name, const OrvTokenDef *table, int count, int caseSensitive,
               uint32_t *mods) {
    *mods = 0;
    for (int k = 0; k < count; k++) {
        if (table[k].name && entry_matches(table[k].name, name, caseSensitive, mods))
            return table[k].id;
    }
    *mods = 0;
    return 0;
}

/* A '-' that follows a blank ends a value; dashes inside words do not. */
bool ends_value(const char *line, size_t j) {
    return line[j] == '-' && line[j - 1] == kBlank;
}

/* Takes the value that starts at pos: at most kTokenValueMax characters, up
 * to a '-' that follows a blank, trimmed of blanks at both ends. Returns the
 * position of the last character kept before the trailing blanks, where the
 * scan resumes (a cut-off value's rest is scanned as ordinary text); *cut
 * tells whether more than blanks stood between the limit and the value's end. */
size_t take_value(const char *line, size_t pos, std::string_view *value, bool *cut) {
    size_t end = pos;
    while (line[end] && end - pos < static_cast<size_t>(kTokenValueMax) && !ends_value(line, end))
        end++;
    *cut = false;
    for (size_t j = end; line[j] && !ends_value(line, j) && !*cut; j++) *cut = line[j] != kBlank;
    while (end > pos && line[end - 1] == kBlank) end--;
    size_t start = pos;
    while (start < end && line[start] == kBlank) start++;
    *value = std::string_view(line + start, end - start);
    return end - 1;
}

/* A stretch of text that no token owns: up to the next blank or dash. */
size_t text_end(const char *line, size_t i) {
    while (line[i] && line[i] != kBlank && line[i] != '-') i++;
    return i;
}

/* OrvTokensParse2's result nodes, one per token the scan meets. */
struct NodeSink {
    OrvList *list;
    bool failed;
};

bool add_node(void *ctx, const OrvTokenSeen &seen) {
    auto *sink = static_cast<NodeSink *>(ctx);
    if (seen.id <= 0) return true;
    auto *node = static_cast<OrvTokenNode *>(calloc(1, sizeof(OrvTokenNode)));
    if (node) {
        node->id = seen.id;
        node->mods = seen.mods;
        if (!seen.value.empty()) memcpy(node->value, seen.value.data(), seen.value.size());
        if (OrvList_AddTail(sink->list, node) >= 0) return true;
    }
    free(node);
    sink->failed = true;
    return false;
}

}  // namespace

bool orv_tokens_scan(const char *line, const OrvTokenDef *table, int count, int caseSensitive,
                     OrvTokenVisit visit, void *ctx) {
    size_t i = 0, owned = 0;   // owned: the end of the last value taken
    while (line[i]) {
        if (line[i] != '-') {
            // Passed over; only text beyond the last value is nobody's.
            size_t end = line[i] == kBlank ? i + 1 : text_end(line, i);
            if (line[i] != kBlank && i >= owned &&
                !visit(ctx, {-1, 0, std::string_view(line + i, end - i), {}, false}))
                return false;
            i = end;
            continue;
        }
        // The name: up to the next blank, at most kTokenNameMax characters.
        char name[kTokenNameMax + 1] = {};
        size_t first = i + 1, k = 0;
        while (k < static_cast<size_t>(kTokenNameMax) && line[first + k] && line[first + k] != kBlank) {
            name[k] = fold(line[first + k], caseSensitive);
            k++;
        }
        size_t after = first + k;
        OrvTokenSeen seen = {0, 0, std::string_view(line + i, after - i), {}, false};
        if (k == static_cast<size_t>(kTokenNameMax) && line[after] != kBlank) {
            seen.word = std::string_view(line + i, strchrnul(line + i, kBlank) - (line + i));
            if (i >= owned && !visit(ctx, seen)) return false;
            i = after;  // a longer word is no token; a '-' inside it may start one
            continue;
        }
        seen.id = lookup(name, table, count, caseSensitive, &seen.mods);
        // A value needs the blank that ended the name and one more character.
        size_t next = after;
        if (seen.id != 0 && line[after] && line[after + 1]) {
            next = take_value(line, after + 1, &seen.value, &seen.cut);
            owned = std::max(owned, next + 1);
        }
        if ((seen.id != 0 || i >= owned) && !visit(ctx, seen)) return false;
        i = next;
    }
    return true;
}

extern "C" {

int OrvTokensParse2(const char *line, const OrvTokenDef *table, int count, int caseSensitive,
                    OrvList *list) {
    if (count <= 0 || !table || !list || !line) return 0;
    if (strnlen(line, 2) < 2) return 0;
    NodeSink sink = {list, false};
    orv_tokens_scan(line, table, count, caseSensitive, add_node, &sink);
    return sink.failed ? -1 : OrvList_GetCount(list);
}

int OrvTokensParse(const char *line, const OrvTokenDef *table, int count, OrvList *list) {
    return OrvTokensParse2(line, table, count, 1, list);
}

int OrvTokensResultContainsFlag(OrvList *list, int id) {
    int n = OrvList_GetCount(list);
    for (int p = 0; p < n; p++) {
        auto *node = static_cast<OrvTokenNode *>(OrvList_ViewData(list, p));
        if (node && node->id == id) return p;
    }
    return -1;
}

char *OrvTokensGetTokenData(OrvList *list, int id) {
    int p = OrvTokensResultContainsFlag(list, id);
    if (p < 0) return nullptr;
    return static_cast<OrvTokenNode *>(OrvList_ViewData(list, p))->value;
}

uint32_t OrvTokensGetTokenOptMods(OrvList *list, int id) {
    int p = OrvTokensResultContainsFlag(list, id);
    if (p < 0) return 0;
    return static_cast<OrvTokenNode *>(OrvList_ViewData(list, p))->mods;
}

char *OrvTokensGetTokenDataByIndex(OrvList *list, int position, int *id) {
    auto *node = static_cast<OrvTokenNode *>(OrvList_ViewData(list, position));
    if (id) *id = node ? node->id : -1;
    return node ? node->value : nullptr;
}

static void free_token(void *data, int) {
    free(data);
}

int OrvTokensFreeListNodes(OrvList *list) {
    return OrvList_DoForEach(list, free_token);
}

}  // extern "C"
