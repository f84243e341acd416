/* STUB: replaced by the command-line parser. */
#include "adapter.h"
extern "C" {
unsigned char a_flag, c_flag, d_flag, x_flag, t_flag, o_flag, file_flag, unique_flag;
unsigned char perm_flag, uid_flag, gid_flag, member_flag, u_flag;
const OrvTokenDef z9tar_tokens[] = {{"T", 1}};
const int z9tar_token_count = 1;
int Z9TAR_ParseCmdLine(const char *, CMDLINEPARAM *, int, const char *) { return 0; }
}
