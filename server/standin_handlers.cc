// TEMPORARY handlers of the commands whose code comes later (paths, login,
// data connections, transfers, listings, SITE, FEAT, OPTS): each answers
// "502 Unimplemented command." until its real handler replaces it here.
#include "shell.h"

void Cdup(char *) { NotImplemented(); }
void Cwd(char *) { NotImplemented(); }
void Dele(char *) { NotImplemented(); }
void Feat(char *) { NotImplemented(); }
void Mdtm(char *) { NotImplemented(); }
void Mfmt(char *) { NotImplemented(); }
void Mkd(char *) { NotImplemented(); }
void Mlsd(char *) { NotImplemented(); }
void Mlst(char *) { NotImplemented(); }
void Nlst(char *, int) { NotImplemented(); }
void Opts(char *) { NotImplemented(); }
void Pass(char *) { NotImplemented(); }
void Pasv(char *) { NotImplemented(); }
void Port(char *) { NotImplemented(); }
void Rest(char *) { NotImplemented(); }
void Retr(char *) { NotImplemented(); }
void Rmd(char *, int) { NotImplemented(); }
void Rnfr(char *) { NotImplemented(); }
void Rnto(char *) { NotImplemented(); }
void Site(char *) { NotImplemented(); }
void Size(char *) { NotImplemented(); }
void Stor(char *, int, int) { NotImplemented(); }
void User(char *) { NotImplemented(); }
