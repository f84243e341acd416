/* STUB: replaced by extraction. */
#include "tar.h"
extern "C" {
char *mszFileName;
int extract(void) { return 0; }
int uplist(void) { return 0; }
int acctime(void) { return 0; }
}
