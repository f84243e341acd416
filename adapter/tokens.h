/* tokens.h - the adapter's tokens, one row each. The parser's table, the
 * clearing of the run flags, the -STRICT check and z9tar-host's help all
 * expand this one list, so a new token is one new row. Header only and free of
 * library names: z9tar-host compiles it too, and a column that a reader leaves
 * out of its expansion is never compiled there. */
#ifndef Z9_ADAPTER_TOKENS_H
#define Z9_ADAPTER_TOKENS_H

/* Z9TAR_TOKENS(X) calls X(symbol, name, value, flag, help) once per token, in
 * table order; a token's id is its position from 1, so the classic eighteen
 * keep the ids they have always had and new rows go at the end.
 *   symbol  the token in code (kTok<symbol>)
 *   name    the token as written after its dash, matched without regard to case
 *   value   what its value must be: kNoValue, kTraceName, kMemberName, kPath,
 *           kDecimal, kOctal, kCodecName
 *   flag    the run flag it sets (cleared by every parse), or nullptr
 *   help    its line in z9tar-host's help, for the tokens beyond QuickHelp's */
#define Z9TAR_TOKENS(X)                                                                        \
    X(T,        "T",        kTraceName,  nullptr,        nullptr)                              \
    X(TA,       "TA",       kTraceName,  nullptr,        nullptr)                              \
    X(TPlus,    "T+",       kTraceName,  nullptr,        nullptr)                              \
    X(Uid,      "UID",      kDecimal,    &uid_flag,      nullptr)                              \
    X(Gid,      "GID",      kDecimal,    &gid_flag,      nullptr)                              \
    X(NoChown,  "o",        kNoValue,    &o_flag,        nullptr)                              \
    X(Cat,      "CAT",      kNoValue,    &t_flag,        nullptr)                              \
    X(Perm,     "PERM",     kOctal,      &perm_flag,     nullptr)                              \
    X(Add,      "a",        kNoValue,    &a_flag,        nullptr)                              \
    X(Create,   "c",        kNoValue,    &c_flag,        nullptr)                              \
    X(Delete,   "d",        kNoValue,    &d_flag,        nullptr)                              \
    X(Extract,  "x",        kNoValue,    &x_flag,        nullptr)                              \
    X(Member,   "MEMBER",   kMemberName, &member_flag,   nullptr)                              \
    X(File,     "FILE",     kPath,       &file_flag,     nullptr)                              \
    X(Archive,  "ARCHIVE",  kPath,       nullptr,        nullptr)                              \
    X(Unique,   "UNIQUE",   kNoValue,    &unique_flag,   nullptr)                              \
    X(TE,       "TE",       kTraceName,  nullptr,        nullptr)                              \
    X(TEPlus,   "TE+",      kTraceName,  nullptr,        nullptr)                              \
    X(Update,   "u",        kNoValue,    &u_flag,                                              \
      "update (put -a, -d -a): store only what is newer than the archive's copy")              \
    X(Posix,    "POSIX",    kNoValue,    &posix_flag,                                          \
      "long names, pax headers and big numbers of today's tar tools")                          \
    X(Compress, "COMPRESS", kCodecName,  &compress_flag,                                       \
      "gzip|zstd|xz|bzip2: write the new archive of -c through that compressor")               \
    X(Safe,     "SAFE",     kNoValue,    &safe_flag,                                           \
      "extraction stays inside the current directory")                                         \
    X(Strict,   "STRICT",   kNoValue,    &strict_flag,                                         \
      "an unknown token, a token given twice with different values, or a value\n"              \
      "          that is empty, too long or no number fails the call")                       \
    X(Sync,     "SYNC",     kNoValue,    &sync_flag,                                           \
      "a writing run returns success only once its change is on stable storage")

#endif
