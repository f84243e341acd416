/* cmdline.cpp - the adapter's command line: the run flags (defined here,
 * cleared and set by every parse, read throughout the engine), the token
 * table made from tokens.h, and Z9TAR_ParseCmdLine, which fills CMDLINEPARAM
 * from the line and the host's trace setting. Bad tokens are ignored, as they
 * always were, unless the line holds -STRICT: then the parse describes the
 * first of them in mcmdline_error, and the initialisation fails the call. */
#include <algorithm>
#include <climits>
#include <cstdio>
#include <cstdlib>
#include <cstring>
#include <initializer_list>

#include "adapter.h"
#include "tokens.h"

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
unsigned char strict_flag;  /* -STRICT: what the parse would ignore fails the call */
char mcompress[kCodecNameSize];  /* -COMPRESS value, read by the driver of a create */
unsigned char sync_flag;    /* -SYNC: writing runs flush to stable storage */
char mcmdline_error[kMessageSize];  /* set by every parse, read by the initialisation */

}  // extern "C"

namespace {

/* What a token's value must be under -STRICT: its kind and, for texts, its
 * longest length. Without -STRICT only the parse below reads values. */
enum class Kind { none, optional, text, decimal, octal };
struct ValueRule {
    Kind kind;
    int max;
};
constexpr ValueRule kNoValue = {Kind::none, 0};
constexpr ValueRule kTraceName = {Kind::optional, kPathSize - 1};
constexpr ValueRule kMemberName = {Kind::text, kMemberSize - 1};
constexpr ValueRule kPath = {Kind::text, kPathSize - 1};
constexpr ValueRule kCodecName = {Kind::text, kCodecNameSize - 1};
constexpr ValueRule kDecimal = {Kind::decimal, 0};
constexpr ValueRule kOctal = {Kind::octal, 0};

enum TokenId {
    kTokNone,
#define Z9_TOKEN_ID(symbol, name, value, flag, help) kTok##symbol,
    Z9TAR_TOKENS(Z9_TOKEN_ID)
#undef Z9_TOKEN_ID
    kTokEnd
};
constexpr int kTokenCount = kTokEnd - 1;
static_assert(kTokTEPlus == 18, "the classic tokens keep their ids");

/* Each token's run flag and value rule, by id. */
struct TokenRule {
    unsigned char *flag;
    ValueRule value;
};
const TokenRule kRules[kTokEnd] = {
    {nullptr, kNoValue},
#define Z9_TOKEN_RULE(symbol, name, value, flag, help) {flag, value},
    Z9TAR_TOKENS(Z9_TOKEN_RULE)
#undef Z9_TOKEN_RULE
};

}  // namespace

/* The table the token library looks names up in. Matching ignores case, so
 * "o", "a" or "x" also take "-O", "-A", "-X". */
extern "C" const OrvTokenDef z9tar_tokens[] = {
#define Z9_TOKEN_DEF(symbol, name, value, flag, help) {name, kTok##symbol},
    Z9TAR_TOKENS(Z9_TOKEN_DEF)
#undef Z9_TOKEN_DEF
};
extern "C" const int z9tar_token_count = kTokenCount;

namespace {

constexpr const char *kDefaultTrace = "z9tar.zvl";
constexpr int kDefaultPerm = 0777;
constexpr int kMaxMode = 07777;   /* the mode bits -PERM may give */
constexpr int kShown = 40;        /* the longest piece of the line a message quotes */

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
    if (given(list, kTokT)) {
        o->bTrace = o->bTraceNamed = 1;
        if (host_names) take_trace_name(o, value_of(list, kTokT), count);
    }
    for (int id : {kTokTA, kTokTPlus}) {
        if (!given(list, id)) continue;
        o->bTrace = o->bTraceAppend = o->bTraceNamed = 1;
        if (host_names) take_trace_name(o, value_of(list, id), count);
    }
    for (int id : {kTokTE, kTokTEPlus}) {
        if (!given(list, id)) continue;
        o->bTrace = o->bTraceOnError = 1;
        if (id == kTokTEPlus) o->bTraceAppend = 1;
        if (!o->bTraceNamed && host_names) take_trace_name(o, value_of(list, id), count);
    }
}

/* Names and numbers, each counted when taken. */
void apply_values(OrvList *list, CMDLINEPARAM *o, int *count) {
    if (take_text(o->szMember, kMemberSize, value_of(list, kTokMember))) {
        member_flag = 1;
        (*count)++;
    }
    if (take_text(o->szArchive, kPathSize, value_of(list, kTokArchive))) (*count)++;
    struct { int id; int *field; unsigned char *flag; int base; } numbers[] = {
        {kTokUid, &o->nUid, &uid_flag, 10}, {kTokGid, &o->nGid, &gid_flag, 10},
        {kTokPerm, &o->nPerm, &perm_flag, 8},
    };
    for (auto &n : numbers) {
        const char *v = value_of(list, n.id);
        if (!*v) continue;
        *n.field = number(v, n.base);
        *n.flag = 1;
        (*count)++;
    }
}

/* Every valueless token sets its run flag, and the options record mirrors
 * the classic ones; then -FILE and the codec of -COMPRESS. */
void apply_switches(OrvList *list, CMDLINEPARAM *o, int *count) {
    for (int id = 1; id <= kTokenCount; id++) {
        const TokenRule &rule = kRules[id];
        if (rule.value.kind == Kind::none && rule.flag && given(list, id)) *rule.flag = 1;
    }
    o->bAdd |= a_flag;
    o->bCreate |= c_flag;
    o->bDelete |= d_flag;
    o->bNoChown |= o_flag;
    o->bCatalog |= t_flag;
    o->bExtract |= x_flag;
    o->bUnique |= unique_flag;
    if (take_text(o->szFile, kPathSize, value_of(list, kTokFile))) {
        o->bFile = 1;
        file_flag = 1;
        (*count)++;
    }
    if (given(list, kTokCompress)) compress_flag = 1;
    z9_copy(mcompress, sizeof mcompress, value_of(list, kTokCompress));
}

/* ---- -STRICT: the first thing the parse would pass over in silence ---- */

struct StrictScan {
    std::string_view first[kTokEnd];  /* each token's first value */
    bool seen[kTokEnd];
};

int shown(std::string_view s) {
    return static_cast<int>(std::min(s.size(), static_cast<size_t>(kShown)));
}

/* The length a value has in the line when the token library cut it at its
 * limit: up to the blank and dash that end it, without trailing blanks. */
size_t full_length(std::string_view value, bool cut) {
    if (!cut) return value.size();
    const char *p = value.data();
    size_t n = 0, kept = 0;
    for (; p[n] && !(p[n] == '-' && n > 0 && p[n - 1] == ' '); n++)
        if (p[n] != ' ') kept = n + 1;
    return kept;
}

/* Digits only, and within an int (decimal) or the mode bits (octal). */
bool is_number(std::string_view v, Kind kind) {
    int base = kind == Kind::decimal ? 10 : 8;
    long long n = 0;
    if (v.empty()) return false;
    for (char c : v) {
        if (c < '0' || c - '0' >= base) return false;
        n = n * base + (c - '0');
        if (n > (kind == Kind::decimal ? INT_MAX : kMaxMode)) return false;
    }
    return true;
}

/* Describes in mcmdline_error what is wrong with one token's value, if
 * anything; returns whether it was all right. */
bool value_is_right(const OrvTokenSeen &s, const ValueRule &rule) {
    char *why = mcmdline_error;
    size_t size = sizeof mcmdline_error;
    int w = shown(s.word), v = shown(s.value);
    size_t len = full_length(s.value, s.cut);
    int limit = std::min(rule.max, kTokenValueMax);
    bool texts = rule.kind == Kind::text || rule.kind == Kind::optional;
    if (rule.kind == Kind::none && len)
        snprintf(why, size, "'%.*s' takes no value, not '%.*s'", w, s.word.data(), v, s.value.data());
    else if (rule.kind != Kind::none && rule.kind != Kind::optional && len == 0)
        snprintf(why, size, "'%.*s' needs a value", w, s.word.data());
    else if (texts && len > static_cast<size_t>(limit))
        snprintf(why, size, "'%.*s' value of %zu characters is longer than %d", w, s.word.data(), len,
                 limit);
    else if (!texts && rule.kind != Kind::none && !is_number(s.value, rule.kind))
        snprintf(why, size, "'%.*s' value '%.*s' is not %s", w, s.word.data(), v, s.value.data(),
                 rule.kind == Kind::decimal ? "a decimal number" : "an octal mode");
    else
        return true;
    return false;
}

bool strict_visit(void *ctx, const OrvTokenSeen &s) {
    auto *scan = static_cast<StrictScan *>(ctx);
    char *why = mcmdline_error;
    int w = shown(s.word);
    if (s.id < 0) {
        snprintf(why, kMessageSize, "text '%.*s' belongs to no token", w, s.word.data());
        return false;
    }
    if (s.id == 0 || s.id > kTokenCount) {
        snprintf(why, kMessageSize, "unknown token '%.*s'", w, s.word.data());
        return false;
    }
    if (!value_is_right(s, kRules[s.id].value)) return false;
    std::string_view &first = scan->first[s.id];
    if (scan->seen[s.id] && first != s.value) {
        snprintf(why, kMessageSize, "'%.*s' given twice with different values ('%.*s', '%.*s')", w,
                 s.word.data(), std::min(shown(first), 20), first.data(), std::min(shown(s.value), 20),
                 s.value.data());
        return false;
    }
    scan->seen[s.id] = true;
    first = s.value;
    return true;
}

}  // namespace

extern "C" int Z9TAR_ParseCmdLine(const char *line, CMDLINEPARAM *options, int hostTraceMode,
                                  const char *hostTraceFile) {
    for (const TokenRule &rule : kRules)
        if (rule.flag) *rule.flag = 0;
    mcompress[0] = '\0';
    mcmdline_error[0] = '\0';
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
        int found = OrvTokensParse2(line, z9tar_tokens, kTokenCount, 0, list);
        if (found != 0) {
            apply_trace(list, options, &count);
            apply_values(list, options, &count);
            apply_switches(list, options, &count);
        }
        if (found < 0 && strict_flag)
            z9_copy(mcmdline_error, kMessageSize, "out of memory reading the command line");
        OrvTokensFreeListNodes(list);
        OrvList_DestroyList(list);
    }
    if (strict_flag && !mcmdline_error[0]) {
        StrictScan scan = {};
        orv_tokens_scan(line, z9tar_tokens, kTokenCount, 0, strict_visit, &scan);
    }

    // Creating or updating an archive is adding to it.
    if (u_flag || c_flag) a_flag = 1;
    if (!perm_flag) options->nPerm = kDefaultPerm;
    return count;
}
