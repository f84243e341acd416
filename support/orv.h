/* orv.h - what the support folder exports: the trace log, the doubly linked
 * list, the token parser, and the two small text helpers every module uses
 * (bounded copy into a fixed field, engine error into the record's message). */
#ifndef Z9_SUPPORT_ORV_H
#define Z9_SUPPORT_ORV_H

#include <cstddef>
#include <cstdint>
#include <cstring>
#include <ctime>
#include <string_view>

/* Names the library exports carry Z9_EXPORT; everything else stays hidden. */
#define Z9_EXPORT __attribute__((visibility("default")))

/* Severities: errors, which an error-only trace keeps, and progress lines. */
constexpr int kSevError = 1;
constexpr int kSevInfo = 5;

/* Log modes for OrvLogSetMode, combined as bits. */
constexpr int kLogEcho = 1;       /* copy headers and messages to stdout */
constexpr int kLogNoHeader = 2;   /* no header line before entries and dumps */
constexpr int kLogThread = 4;     /* header line starts with a thread field */

/* A log entry from the calling file and line; each file defines kModule. */
#define Z9_LOG(sev, func, ...) OrvLogEntry(kModule, __LINE__, (sev), (func), __VA_ARGS__)

extern "C" {

/* ---- log and trace ---- */
Z9_EXPORT int OrvLogInit(void);
Z9_EXPORT int OrvLogOpen(const char *name, int truncate);
Z9_EXPORT int OrvLogClose(void);
Z9_EXPORT int OrvLogSetLevel(int level);
Z9_EXPORT int OrvLogSetMode(int mode);
Z9_EXPORT int OrvLogEntry(const char *module, int line, int severity, const char *function,
                          const char *format, ...) __attribute__((format(printf, 5, 6)));
Z9_EXPORT int OrvLogDumpBin(const char *module, int line, int severity, const char *function,
                            const void *data, uint64_t length);
Z9_EXPORT int OrvTrace(const char *format, ...) __attribute__((format(printf, 1, 2)));
Z9_EXPORT void TimeDiffHMS(time_t start, time_t end, int *hours, int *minutes, int *seconds);

/* ---- doubly linked list of untyped data ---- */
typedef struct OrvListNode {
    struct OrvListNode *prev;
    struct OrvListNode *next;
    void *data;
} OrvListNode;

typedef struct OrvList {
    OrvListNode *head;
    OrvListNode *tail;
    int count;
} OrvList;

typedef void (*OrvListCallback)(void *data, int position);

Z9_EXPORT OrvList *OrvList_CreateList(void);
Z9_EXPORT int OrvList_GetCount(OrvList *list);
Z9_EXPORT int OrvList_AddTail(OrvList *list, void *data);
Z9_EXPORT int OrvList_AddHead(OrvList *list, void *data);
Z9_EXPORT void *OrvList_RemoveTail(OrvList *list);
Z9_EXPORT void *OrvList_RemoveHead(OrvList *list);
Z9_EXPORT void *OrvList_RemoveIndex(OrvList *list, int position);
Z9_EXPORT void *OrvList_ViewData(OrvList *list, int position);
Z9_EXPORT void OrvList_DestroyList(OrvList *list);
Z9_EXPORT int OrvList_DoForEach(OrvList *list, OrvListCallback callback);

/* ---- tokens ---- */
typedef struct OrvTokenDef {
    const char *name;   /* without the leading '-'; "BASE,letters" for modifiers */
    int32_t id;         /* nonzero; 0 means "not found" */
} OrvTokenDef;

constexpr int kTokenValueSize = 260;   /* value text buffer of a result node */
constexpr int kTokenValueMax = 256;    /* longest value taken */
constexpr int kTokenNameMax = 16;      /* longest token name taken */

typedef struct OrvTokenNode {
    int32_t id;
    uint32_t mods;
    char value[kTokenValueSize];
} OrvTokenNode;
static_assert(sizeof(OrvTokenNode) == 268, "token node is 268 bytes");

Z9_EXPORT int OrvTokensParse2(const char *line, const OrvTokenDef *table, int count,
                              int caseSensitive, OrvList *list);
Z9_EXPORT int OrvTokensParse(const char *line, const OrvTokenDef *table, int count, OrvList *list);
Z9_EXPORT int OrvTokensResultContainsFlag(OrvList *list, int id);
Z9_EXPORT char *OrvTokensGetTokenData(OrvList *list, int id);
Z9_EXPORT uint32_t OrvTokensGetTokenOptMods(OrvList *list, int id);
Z9_EXPORT char *OrvTokensGetTokenDataByIndex(OrvList *list, int position, int *id);
Z9_EXPORT int OrvTokensFreeListNodes(OrvList *list);

}  // extern "C"

/* ---- the token scan under OrvTokensParse2 (private to the library) ---- */

/* One thing a scan meets, in line order: a token of the table (id > 0) with
 * the value it takes; a word after a dash that the table does not hold
 * (id 0, the word with its dash up to the next blank); or text outside any
 * token (id -1). cut: the value stopped at kTokenValueMax with more to come. */
struct OrvTokenSeen {
    int32_t id;
    uint32_t mods;
    std::string_view word;
    std::string_view value;
    bool cut;
};
typedef bool (*OrvTokenVisit)(void *ctx, const OrvTokenSeen &seen);

/* Scans the line exactly as OrvTokensParse2 does, calling visit for each
 * thing met; stops early, returning false, when visit returns false. A word
 * or text inside a value the scan took again is not reported. */
bool orv_tokens_scan(const char *line, const OrvTokenDef *table, int count, int caseSensitive,
                     OrvTokenVisit visit, void *ctx);

/* ---- text helpers (private to the library) ---- */

/* Copies at most size-1 bytes of src into dst and always terminates it. */
void z9_copy(char *dst, size_t size, const char *src);

/* The one way an engine module reports an error: formats the text into the
 * record's message field (cut to 99 characters), then logs the same text at
 * kSevError as "%s". Safe when no record is attached (mszErrMsg null). */
void z9_error(const char *module, int line, const char *function, const char *format, ...)
    __attribute__((format(printf, 4, 5)));

/* Puts an already complete text into the message field and logs it at
 * kSevError; the text is never used as a format. */
void z9_error_text(const char *module, int line, const char *function, const char *text);

/* An error too long for the message field: `message` (its text made to fit
 * by the caller, cut to 99 characters all the same) goes into the field,
 * `trace` into the log at kSevError whole, however long. */
void z9_error_fit(const char *module, int line, const char *function, const char *message, const char *trace);

/* Replaces the message field's text without logging. */
void z9_set_message(const char *text);

/* A message the walk composes for every member it passes over and a later
 * text almost always replaces: make writes it only when it is still the last
 * one, which z9_settle_message (at the end of the operation) finds out. */
void z9_defer_message(void (*make)(char *text, size_t size));
void z9_settle_message(void);

/* True while a trace file is open: callers skip work whose only product is a
 * trace line (user lookups, time formatting). */
bool z9_log_is_open(void);

/* A log entry whose text is complete already: written as OrvLogEntry would
 * write "%s" with it, in one write, without the formatting. It is not cut at
 * 509 characters, so a listing can show names longer than the classic field. */
void z9_log_text(const char *module, int line, int severity, const char *function, const char *text, size_t len);

/* A text built in a fixed buffer from pieces and decimal numbers, cut to fit
 * and always terminated: what the per-member trace lines use instead of the
 * printf machinery, which cost more than the rest of a member's walk. */
class TextBuf {
public:
    TextBuf(char *buf, size_t size) : buf_(buf), size_(size) { buf_[0] = '\0'; }
    TextBuf &add(std::string_view s);
    /* A field of at most n bytes, ended early by a zero byte. */
    TextBuf &field(const char *s, size_t n) { return add(std::string_view(s, strnlen(s, n))); }
    /* v in decimal, right-aligned in width places ("%*lld"), or left-aligned. */
    TextBuf &num(int64_t v, int width = 0, bool left = false);
    const char *text() const { return buf_; }
    size_t size() const { return len_; }

private:
    char *buf_;
    size_t size_, len_ = 0;
};

#endif
