/* tokens.cpp - the general token parser: scans a line for "-name value"
 * tokens, looks each name up in a caller's table and appends the recognised
 * ones, as OrvTokenNode records, to a caller's list. No process-wide state;
 * the nodes are the caller's to free with OrvTokensFreeListNodes. */
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

/* Takes the value that starts at pos: at most kTokenValueMax characters, up
 * to a '-' that follows a blank, trimmed of blanks at both ends. Returns the
 * position of the last character kept before the trailing blanks, where the
 * scan resumes (a cut-off value's rest is scanned as ordinary text). */
size_t take_value(const char *line, size_t pos, char *value) {
    size_t end = pos;
    while (line[end] && end - pos < static_cast<size_t>(kTokenValueMax) &&
           !(line[end] == '-' && line[end - 1] == kBlank))
        end++;
    while (end > pos && line[end - 1] == kBlank) end--;
    size_t start = pos;
    while (start < end && line[start] == kBlank) start++;
    memcpy(value, line + start, end - start);
    value[end - start] = '\0';
    return end - 1;
}

}  // namespace

extern "C" {

int OrvTokensParse2(const char *line, const OrvTokenDef *table, int count, int caseSensitive,
                    OrvList *list) {
    if (count <= 0 || !table || !list || !line) return 0;
    if (strnlen(line, 2) < 2) return 0;

    size_t i = 0;
    while (line[i]) {
        if (line[i] != '-') {
            i++;
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
        if (k == static_cast<size_t>(kTokenNameMax) && line[after] != kBlank) {
            i = after;  // a longer word is no token; a '-' inside it may start one
            continue;
        }
        uint32_t mods = 0;
        int32_t id = lookup(name, table, count, caseSensitive, &mods);
        if (id == 0) {
            i = after;
            continue;
        }
        auto *node = static_cast<OrvTokenNode *>(calloc(1, sizeof(OrvTokenNode)));
        if (!node) return -1;
        node->id = id;
        node->mods = mods;
        // A value needs the blank that ended the name and one more character.
        if (line[after] && line[after + 1]) i = take_value(line, after + 1, node->value);
        else i = after;
        if (OrvList_AddTail(list, node) < 0) {
            free(node);
            return -1;
        }
    }
    return OrvList_GetCount(list);
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
