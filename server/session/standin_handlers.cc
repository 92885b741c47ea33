// TEMPORARY handlers of the commands whose code comes later (paths, login,
// data connections, transfers, listings, SITE, FEAT, OPTS): each answers
// "502 Unimplemented command." until its real handler replaces it here.
#include "session/shell.h"

void Dele(char *) { NotImplemented(); }
void Feat(char *) { NotImplemented(); }
void Mdtm(char *) { NotImplemented(); }
void Mfmt(char *) { NotImplemented(); }
void Mkd(char *) { NotImplemented(); }
void Mlsd(char *) { NotImplemented(); }
void Mlst(char *) { NotImplemented(); }
void Opts(char *) { NotImplemented(); }
void Rmd(char *, int) { NotImplemented(); }
void Rnfr(char *) { NotImplemented(); }
void Rnto(char *) { NotImplemented(); }
void Site(char *) { NotImplemented(); }
void Size(char *) { NotImplemented(); }
