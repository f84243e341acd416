/* z9tar.h - the public interface a host compiles against: the 808-byte call
 * record EXITPARAM, the two entry points, the description records through
 * which a host finds them, the version strings and the help printer.
 * Usable from C (C11) and C++. The conventions of every call:
 *  - nReturnCode is -1 from the start of a run and 0 on success; the entry
 *    points themselves always return 0, so only the record tells the outcome.
 *  - pOutData after a successful get is the host's: it frees it with free().
 *  - One process-wide lock serialises all calls: one runs at a time.
 *  - No pointer into the record (or its buffers) is kept after a call. */
#ifndef Z9TAR_H
#define Z9TAR_H

#include <stddef.h>
#include <stdint.h>

#ifdef __cplusplus
extern "C" {
#endif

#if defined(Z9TAR_BUILDING)
#define Z9TAR_API __attribute__((visibility("default")))
#else
#define Z9TAR_API
#endif

/* The host call record. Its layout is fixed by the host; the reserved arrays
 * are the host's bytes, which the library neither reads nor writes. */
typedef struct EXITPARAM {
    uint32_t nSize;            /*   0 in: must be 808 */
    uint32_t nInLength;        /*   4 in: bytes at pInData (put, memory mode) */
    uint32_t nOutLength;       /*   8 out: bytes at pOutData (get, memory mode) */
    uint8_t  reserved12[12];   /*  12 host */
    char    *pszCmdLine;       /*  24 in: "-ARCHIVE a.tar -MEMBER m -x" */
    void    *pInData;          /*  32 in: read only, never freed by the library */
    void    *pOutData;         /*  40 out: malloc'd by the library, freed by the host */
    uint8_t  reserved48[16];   /*  48 host */
    int32_t  nReturnCode;      /*  64 out: -1 from the start of a run, 0 on success */
    char     szMessage[100];   /*  68 out: result or error text */
    char     szFileName[372];  /* 168 out: file written by a file-mode extraction */
    char     szTraceFile[260]; /* 540 in: host trace file, used when nTraceMode is 3 */
    uint16_t nTraceMode;       /* 800 in: 1 lets -T name a file, 3 traces to szTraceFile */
    uint8_t  reserved802[6];   /* 802 host */
} EXITPARAM;

#if defined(__cplusplus)
#define Z9TAR_STATIC_ASSERT static_assert
#define Z9TAR_NOEXCEPT noexcept   /* no exception leaves the library */
#else
#define Z9TAR_STATIC_ASSERT _Static_assert
#define Z9TAR_NOEXCEPT
#endif
Z9TAR_STATIC_ASSERT(sizeof(EXITPARAM) == 808, "EXITPARAM is 808 bytes");
Z9TAR_STATIC_ASSERT(offsetof(EXITPARAM, nInLength) == 4, "nInLength at 4");
Z9TAR_STATIC_ASSERT(offsetof(EXITPARAM, nOutLength) == 8, "nOutLength at 8");
Z9TAR_STATIC_ASSERT(offsetof(EXITPARAM, pszCmdLine) == 24, "pszCmdLine at 24");
Z9TAR_STATIC_ASSERT(offsetof(EXITPARAM, pInData) == 32, "pInData at 32");
Z9TAR_STATIC_ASSERT(offsetof(EXITPARAM, pOutData) == 40, "pOutData at 40");
Z9TAR_STATIC_ASSERT(offsetof(EXITPARAM, nReturnCode) == 64, "nReturnCode at 64");
Z9TAR_STATIC_ASSERT(offsetof(EXITPARAM, szMessage) == 68, "szMessage at 68");
Z9TAR_STATIC_ASSERT(offsetof(EXITPARAM, szFileName) == 168, "szFileName at 168");
Z9TAR_STATIC_ASSERT(offsetof(EXITPARAM, szTraceFile) == 540, "szTraceFile at 540");
Z9TAR_STATIC_ASSERT(offsetof(EXITPARAM, nTraceMode) == 800, "nTraceMode at 800");

/* Description record, 160 bytes, read by the host only. */
typedef struct Z9TAR_CONFIG {
    uint32_t    nLength;          /*   0: 160 */
    uint8_t     zero4[60];        /*   4 */
    const char *pEmpty;           /*  64: "" */
    uint32_t    n72, n76;         /*  72: 25, 76: 29 */
    uint8_t     zero80[24];       /*  80 */
    uint32_t    a104[6];          /* 104: 7 1 2 1 1 2 */
    uint8_t     zero128[8];       /* 128 */
    uint32_t    a136[6];          /* 136: 7 1 2 1 1 2 */
} Z9TAR_CONFIG;
Z9TAR_STATIC_ASSERT(sizeof(Z9TAR_CONFIG) == 160, "z9tar_config is 160 bytes");
Z9TAR_STATIC_ASSERT(offsetof(Z9TAR_CONFIG, a136) == 136, "a136 at 136");

/* Entry-point name record, 104 bytes: slots 2 and 3 (offsets 24 and 32)
 * name the get and put entry points. */
typedef struct Z9TAR_CONFIG50 {
    uint32_t    nLength;          /*   0: 104 */
    uint32_t    zero4;            /*   4 */
    const char *pNames[12];       /*   8 .. 96 */
} Z9TAR_CONFIG50;
Z9TAR_STATIC_ASSERT(sizeof(Z9TAR_CONFIG50) == 104, "z9tar_config50 is 104 bytes");

typedef int (*Z9TAR_ENTRY)(EXITPARAM *);

Z9TAR_API int Z9TAR_GetArchive(EXITPARAM *pExit) Z9TAR_NOEXCEPT;
Z9TAR_API int Z9TAR_PutArchive(EXITPARAM *pExit) Z9TAR_NOEXCEPT;
Z9TAR_API int QuickHelp(void) Z9TAR_NOEXCEPT;

Z9TAR_API extern const Z9TAR_CONFIG z9tar_config;
Z9TAR_API extern const Z9TAR_CONFIG50 z9tar_config50;

Z9TAR_API extern char szVersion[9];
Z9TAR_API extern char szFullQRTVersion[19];
Z9TAR_API extern char szLundVersionLabel[32];
Z9TAR_API extern char szMainProductName[38];
Z9TAR_API extern char szCopyright[55];

#ifdef __cplusplus
}
#endif

#endif /* Z9TAR_H */
