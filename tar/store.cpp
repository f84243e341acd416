/* STUB: replaced by storing. */
#include "tar.h"
extern "C" {
int c_break;
int z9tarstore(char *, const char *) { return 0; }
}
