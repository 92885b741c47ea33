// TEMPORARY handler of the command whose code comes later (SITE): it answers
// "502 Unimplemented command." until its real handler replaces it here.
#include "session/shell.h"

void Site(char *) { NotImplemented(); }
