/* STUB: replaced by the operation driver. */
#include "adapter.h"
extern "C" int Z9TAR_Archive(CMDLINEPARAM *, EXITPARAM *) { return 0; }
