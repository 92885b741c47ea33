// Single-letter option parser shared by the server and the tools.
//
// Options come from consecutive arguments that begin with '-'; several letters
// may share one argument ("-vq"); a letter followed by ':' in opts takes the
// rest of its argument or the next argument as its value ("-p21", "-p 21");
// "--" ends the options. Returns the letter, '?' for an unknown letter or a
// missing value (printing "<prog>: illegal option -- x" or "<prog>: option
// requires an argument -- x" when gOptErr is set), or -1 at the end.
#pragma once

extern char *gOptArg;    // value of the last option that takes one
extern int gOptInd;      // index of the next argument to scan (starts at 1)
extern int gOptErr;      // print messages to standard error (initially 1)
extern int gOptOpt;      // the letter of the last option found or refused

int Getopt(int argc, char *const argv[], const char *opts);

// Restarts the scan at the first argument.
void GetoptReset();
