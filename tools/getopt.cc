// Single-letter option parser shared by the server and the tools.
#include "getopt.h"

#include <cstdio>
#include <cstring>

char *gOptArg = nullptr;
int gOptInd = 1;
int gOptErr = 1;
int gOptOpt = 0;

// Position of the next letter inside argv[gOptInd] (1 = just after the '-').
static int gOptPos = 1;

void GetoptReset()
{
    gOptArg = nullptr;
    gOptInd = 1;
    gOptOpt = 0;
    gOptPos = 1;
}

// Moves on to the next argument once the letters of this one are used up.
static void NextLetter(char *const argv[])
{
    if (argv[gOptInd][++gOptPos] == '\0') {
        gOptInd++;
        gOptPos = 1;
    }
}

int Getopt(int argc, char *const argv[], const char *opts)
{
    gOptArg = nullptr;
    if (gOptPos == 1) {
        if (gOptInd >= argc || argv[gOptInd] == nullptr || argv[gOptInd][0] != '-'
            || argv[gOptInd][1] == '\0')
            return -1;
        if (strcmp(argv[gOptInd], "--") == 0) {
            gOptInd++;
            return -1;
        }
    }

    const int c = static_cast<unsigned char>(argv[gOptInd][gOptPos]);
    gOptOpt = c;
    const char *entry = c == ':' ? nullptr : strchr(opts, c);
    if (entry == nullptr) {
        if (gOptErr)
            fprintf(stderr, "%s: illegal option -- %c\n", argv[0], c);
        NextLetter(argv);
        return '?';
    }

    if (entry[1] != ':') {
        NextLetter(argv);
        return c;
    }

    // The value is the rest of this argument, or else the whole next one.
    if (argv[gOptInd][gOptPos + 1] != '\0') {
        gOptArg = &argv[gOptInd][gOptPos + 1];
        gOptInd++;
    } else if (gOptInd + 1 < argc) {
        gOptArg = argv[gOptInd + 1];
        gOptInd += 2;
    } else {
        if (gOptErr)
            fprintf(stderr, "%s: option requires an argument -- %c\n", argv[0], c);
        gOptInd++;
        gOptPos = 1;
        return '?';
    }
    gOptPos = 1;
    return c;
}
