/* cmdline.cpp - the adapter's command line: the run flags (defined here,
 * cleared and set by every parse, read throughout the engine), the token
 * table, and Z9TAR_ParseCmdLine, which fills CMDLINEPARAM from the line and
 * the host's trace setting. Reports nothing: bad tokens are simply ignored. */
#include <climits>
#include <cstdlib>
#include <cstring>
#include <initializer_list>

#include "adapter.h"

extern "C" {

/* Run flags, one byte each. Set by Z9TAR_ParseCmdLine; read by the entry
 * points, the driver and the engine modules for the rest of the call. */
unsigned char a_flag;       /* -a, -c or -u: add to the archive */
unsigned char c_flag;       /* -c */
unsigned char d_flag;       /* -d */
unsigned char x_flag;       /* -x */
unsigned char t_flag;       /* -CAT */
unsigned char o_flag;       /* -o */
unsigned char file_flag;    /* -FILE with a name */
unsigned char unique_flag;  /* -UNIQUE */
unsigned char perm_flag;    /* -PERM with a value */
unsigned char uid_flag;     /* -UID with a value */
unsigned char gid_flag;     /* -GID with a value */
unsigned char member_flag;  /* -MEMBER with a usable name */
unsigned char u_flag;       /* -u: update */
unsigned char posix_flag;   /* -POSIX: long names, pax headers and big numbers */
unsigned char safe_flag;    /* -SAFE: extraction stays inside the current directory */
unsigned char compress_flag;  /* -COMPRESS given; mcompress holds its value */
char mcompress[kCodecNameSize];  /* -COMPRESS value, read by the driver of a create */
unsigned char sync_flag;    /* -SYNC: writing runs flush to stable storage */

/* The adapter's tokens. Matching ignores case, so "o", "a" or "x" also take
 * "-O", "-A", "-X". Ours beyond the classic eighteen: "u" so that updating can
 * be asked for, the three switches of the modern extensions and -SYNC. */
const OrvTokenDef z9tar_tokens[] = {
    {"T", 1},     {"TA", 2},      {"T+", 3},       {"UID", 4},     {"GID", 5},
    {"o", 6},     {"CAT", 7},     {"PERM", 8},     {"a", 9},       {"c", 10},
    {"d", 11},    {"x", 12},      {"MEMBER", 13},  {"FILE", 14},   {"ARCHIVE", 15},
    {"UNIQUE", 16}, {"TE", 17},   {"TE+", 18},     {"u", 19},      {"POSIX", 20},
    {"COMPRESS", 21}, {"SAFE", 22},
    {"SYNC", 23},
};
const int z9tar_token_count = sizeof z9tar_tokens / sizeof z9tar_tokens[0];

}  // extern "C"

namespace {

enum TokenId {
    kT = 1, kTA, kTPlus, kUid, kGid, kNoChown, kCat, kPerm, kAdd, kCreate,
    kDelete, kExtract, kMember, kFile, kArchive, kUnique, kTE, kTEPlus, kUpdate,
    kPosix, kCompress, kSafe, kSync
};

constexpr const char *kDefaultTrace = "z9tar.zvl";
constexpr int kDefaultPerm = 0777;

bool given(OrvList *list, int id) {
    return OrvTokensResultContainsFlag(list, id) >= 0;
}

/* The value of a token, "" when absent or empty. */
const char *value_of(OrvList *list, int id) {
    const char *v = OrvTokensGetTokenData(list, id);
    return v ? v : "";
}

/* Copies a value of 1 to size-1 characters into a field; anything else is
 * ignored. Returns whether it was taken. */
bool take_text(char *field, int size, const char *value) {
    size_t n = strlen(value);
    if (n < 1 || n > static_cast<size_t>(size - 1)) return false;
    z9_copy(field, size, value);
    return true;
}

/* Leading digits in the given base after optional blanks and sign; 0 when
 * there are none. Out-of-range numbers saturate instead of overflowing. */
int number(const char *value, int base) {
    long v = strtol(value, nullptr, base);
    if (v > INT_MAX) return INT_MAX;
    if (v < INT_MIN) return INT_MIN;
    return static_cast<int>(v);
}

/* The trace name of a -T style token: empty means the default name, a usable
 * one is taken and counted, a longer one leaves the field as it was. */
void take_trace_name(CMDLINEPARAM *o, const char *value, int *count) {
    if (!*value) z9_copy(o->szTrace, kPathSize, kDefaultTrace);
    else if (take_text(o->szTrace, kPathSize, value)) (*count)++;
}

/* Trace tokens first: a named trace (-T, -TA, -T+) wins over the name of an
 * error-only one (-TE, -TE+), which only adds its flags. */
void apply_trace(OrvList *list, CMDLINEPARAM *o, int *count) {
    bool host_names = o->nHostTraceMode == 1;
    if (given(list, kT)) {
        o->bTrace = o->bTraceNamed = 1;
        if (host_names) take_trace_name(o, value_of(list, kT), count);
    }
    for (int id : {kTA, kTPlus}) {
        if (!given(list, id)) continue;
        o->bTrace = o->bTraceAppend = o->bTraceNamed = 1;
        if (host_names) take_trace_name(o, value_of(list, id), count);
    }
    for (int id : {kTE, kTEPlus}) {
        if (!given(list, id)) continue;
        o->bTrace = o->bTraceOnError = 1;
        if (id == kTEPlus) o->bTraceAppend = 1;
        if (!o->bTraceNamed && host_names) take_trace_name(o, value_of(list, id), count);
    }
}

/* Names and numbers, each counted when taken. */
void apply_values(OrvList *list, CMDLINEPARAM *o, int *count) {
    if (take_text(o->szMember, kMemberSize, value_of(list, kMember))) {
        member_flag = 1;
        (*count)++;
    }
    if (take_text(o->szArchive, kPathSize, value_of(list, kArchive))) (*count)++;
    struct { int id; int *field; unsigned char *flag; int base; } numbers[] = {
        {kUid, &o->nUid, &uid_flag, 10}, {kGid, &o->nGid, &gid_flag, 10},
        {kPerm, &o->nPerm, &perm_flag, 8},
    };
    for (auto &n : numbers) {
        const char *v = value_of(list, n.id);
        if (!*v) continue;
        *n.field = number(v, n.base);
        *n.flag = 1;
        (*count)++;
    }
}

/* The valueless switches, in their fixed order, then -FILE and -UNIQUE. */
void apply_switches(OrvList *list, CMDLINEPARAM *o, int *count) {
    struct { int id; int *field; unsigned char *flag; } switches[] = {
        {kAdd, &o->bAdd, &a_flag},        {kCreate, &o->bCreate, &c_flag},
        {kDelete, &o->bDelete, &d_flag},  {kNoChown, &o->bNoChown, &o_flag},
        {kCat, &o->bCatalog, &t_flag},    {kExtract, &o->bExtract, &x_flag},
        {kUpdate, nullptr, &u_flag},      {kPosix, nullptr, &posix_flag},
        {kSafe, nullptr, &safe_flag},     {kCompress, nullptr, &compress_flag},
        {kSync, nullptr, &sync_flag},
    };
    for (auto &s : switches) {
        if (!given(list, s.id)) continue;
        if (s.field) *s.field = 1;
        *s.flag = 1;
    }
    if (take_text(o->szFile, kPathSize, value_of(list, kFile))) {
        o->bFile = 1;
        file_flag = 1;
        (*count)++;
    }
    if (given(list, kUnique)) o->bUnique = unique_flag = 1;
    z9_copy(mcompress, sizeof mcompress, value_of(list, kCompress));
}

}  // namespace

extern "C" int Z9TAR_ParseCmdLine(const char *line, CMDLINEPARAM *options, int hostTraceMode,
                                  const char *hostTraceFile) {
    uid_flag = gid_flag = perm_flag = file_flag = member_flag = unique_flag = 0;
    d_flag = u_flag = a_flag = t_flag = o_flag = x_flag = c_flag = 0;
    posix_flag = safe_flag = compress_flag = sync_flag = 0;
    mcompress[0] = '\0';
    if (!options) return 0;
    options->bTraceOnError = options->bTraceNamed = 0;
    int count = 0;

    // The host's own trace file (mode 3) is always appended to and counts.
    options->nHostTraceMode = hostTraceMode;
    if (hostTraceMode == 3) {
        options->bTrace = options->bTraceAppend = 1;
        z9_copy(options->szTrace, kPathSize, hostTraceFile ? hostTraceFile : "");
        count++;
    }

    if (OrvList *list = OrvList_CreateList()) {
        // A failed allocation (-1) still applies the tokens found before it.
        if (OrvTokensParse2(line, z9tar_tokens, z9tar_token_count, 0, list) != 0) {
            apply_trace(list, options, &count);
            apply_values(list, options, &count);
            apply_switches(list, options, &count);
        }
        OrvTokensFreeListNodes(list);
        OrvList_DestroyList(list);
    }

    // Creating or updating an archive is adding to it.
    if (u_flag || c_flag) a_flag = 1;
    if (!perm_flag) options->nPerm = kDefaultPerm;
    return count;
}
