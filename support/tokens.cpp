/* STUB: replaced by the token parser. */
#include "orv.h"
extern "C" {
int OrvTokensParse2(const char *, const OrvTokenDef *, int, int, OrvList *) { return 0; }
int OrvTokensParse(const char *, const OrvTokenDef *, int, OrvList *) { return 0; }
int OrvTokensResultContainsFlag(OrvList *, int) { return -1; }
char *OrvTokensGetTokenData(OrvList *, int) { return nullptr; }
uint32_t OrvTokensGetTokenOptMods(OrvList *, int) { return 0; }
char *OrvTokensGetTokenDataByIndex(OrvList *, int, int *id) { if (id) *id = -1; return nullptr; }
int OrvTokensFreeListNodes(OrvList *) { return 0; }
}
