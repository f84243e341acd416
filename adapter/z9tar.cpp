/* STUB: replaced by the entry points. */
#include "adapter.h"
extern "C" {
char *mszErrMsg, *mszFile;
int mperm, muid, mgid;
int Z9TAR_GetArchive(EXITPARAM *) { return 0; }
int Z9TAR_PutArchive(EXITPARAM *) { return 0; }
int QuickHelp(void) { return 0; }
const Z9TAR_CONFIG z9tar_config = {};
const Z9TAR_CONFIG50 z9tar_config50 = {};
char szVersion[9], szFullQRTVersion[19], szLundVersionLabel[32], szMainProductName[38], szCopyright[55];
}
int Z9TAR_AdptInit(EXITPARAM *, CMDLINEPARAM *, const char *) { return 0; }
