// TEMPORARY handlers of the commands whose code comes later (listings,
// FEAT, OPTS): each answers "502 Unimplemented command." until its real
// handler replaces it here.
#include "session/shell.h"

void Feat(char *) { NotImplemented(); }
void Mlsd(char *) { NotImplemented(); }
void Mlst(char *) { NotImplemented(); }
void Opts(char *) { NotImplemented(); }
