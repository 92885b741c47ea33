// Command-word recognition and dispatch. The first letter selects a group;
// within it the rows are tried in order, and a row matches when the letters
// it names (place 2, 3, 4 of the folded word) are equal. Places a row does
// not name are not examined, so any word beginning with D is DELE.
//
// Three rows open a closed block: once the block's opening letter matches,
// only the rows of that block are tried, and a word none of them takes is
// unrecognised (a P word with O in place 2 is only PORT or POST).
#include <cstdint>
#include <iterator>

#include "config/config.h"
#include "session/shell.h"

namespace {

using CmdHandler = void (*)(char *arg);

// Handlers that need more than the argument, and the words answered the
// same way whatever their argument.
void Appe(char *arg) { Stor(arg, 0, 1); }
void StorFile(char *arg) { Stor(arg, 0, 0); }
void Stou(char *arg) { Stor(arg, 1, 0); }
void List(char *arg) { Nlst(arg, 'l'); }
void NameList(char *arg) { Nlst(arg, '1'); }
void RemoveDir(char *arg) { Rmd(arg, gRmdirR); }
void Unimplemented(char *) { NotImplemented(); }
void Smtp(char *) { NotSMTP(); }
void Http(char *) { NotHTTP(); }

void Unrecognised();

// PBSZ, PROT and CCC exist only while TLS is switched on; otherwise they
// stay the unrecognised words they always were.
template <CmdHandler handler>
void WithTls(char *arg)
{
    if (gTlsMode == kTlsOff) {
        Unrecognised();
        return;
    }
    handler(arg);
}

constexpr int8_t kNoCounter = -1;

struct CmdRow {
    char first;
    char at2, at3, at4;    // required letter in place 2, 3, 4; 0 = not examined
    uint8_t block;         // non-zero: a row of that closed block
    CmdHandler handler;
    int8_t counter;        // index into gCmdCounts, or kNoCounter
};

// The letter whose match opens each closed block.
struct BlockOpener {
    uint8_t block;
    int place;
    char letter;
};
constexpr BlockOpener kBlockOpeners[] = {
    {1, 2, 'O'},   // P: PORT, POST
    {2, 2, 'E'},   // R: RETR, REIN, REST
    {3, 3, 'O'},   // S: STOU
};

constexpr CmdRow kCommands[] = {
    {'A', 'C', 0, 0, 0, Acct, kCntAcct},
    {'A', 'P', 0, 0, 0, Appe, kCntAppe},
    {'A', 'L', 0, 0, 0, Allo, kCntAllo},
    {'A', 'B', 0, 0, 0, Abor, kCntAbor},
    {'A', 'U', 0, 0, 0, Auth, kNoCounter},                          // AUTH (502 unless TLS is on)
    {'B', 'Y', 'E', 0, 0, Quit, kCntQuit},                          // BYE
    {'C', 'W', 0, 0, 0, Cwd, kCntCwd},
    {'C', 'D', 0, 0, 0, Cdup, kCntCdup},
    {'C', 'L', 'N', 'T', 0, Clnt, kCntClnt},
    {'C', 'C', 'C', 0, 0, WithTls<Ccc>, kNoCounter},                // CCC
    {'D', 0, 0, 0, 0, Dele, kCntDele},
    {'E', 0, 'R', 0, 0, Eprt, kCntEprt},                            // EPRT (502 unless switched on)
    {'E', 0, 'S', 0, 0, Epsv, kCntEpsv},                            // EPSV (502 unless switched on)
    {'E', 'H', 'L', 'O', 0, Smtp, kNoCounter},                      // EHLO
    {'E', 'X', 'P', 'N', 0, Smtp, kNoCounter},                      // EXPN
    {'F', 0, 0, 0, 0, Feat, kCntFeat},
    {'G', 'E', 'T', 0, 0, Http, kNoCounter},                        // GET
    {'H', 'E', 'L', 'P', 0, Help, kCntHelp},
    {'H', 'E', 'L', 'O', 0, Smtp, kNoCounter},                      // HELO
    {'H', 'E', 'A', 'D', 0, Http, kNoCounter},                      // HEAD
    {'H', 'O', 0, 0, 0, Unimplemented, kCntHost},                   // HOST
    {'L', 'I', 0, 0, 0, List, kCntList},
    {'L', 'A', 0, 0, 0, Lang, kCntLang},
    {'M', 'K', 0, 0, 0, Mkd, kCntMkd},
    {'M', 'D', 0, 0, 0, Mdtm, kCntMdtm},
    {'M', 0, 0, 'D', 0, Mlsd, kCntMlsd},
    {'M', 'L', 0, 'T', 0, Mlst, kCntMlst},
    {'M', 'O', 0, 0, 0, Mode, kCntMode},
    {'M', 0, 'M', 0, 0, Mfmt, kCntMfmt},
    {'M', 'F', 0, 0, 0, Mff, kCntMff},
    {'M', 0, 'C', 0, 0, Unimplemented, kNoCounter},                 // MIC
    {'M', 'A', 'I', 'L', 0, Smtp, kNoCounter},                      // MAIL
    {'N', 'L', 0, 0, 0, NameList, kCntNlst},
    {'N', 'O', 0, 0, 0, Noop, kCntNoop},
    {'O', 0, 0, 0, 0, Opts, kCntOpts},
    {'P', 0, 0, 'S', 0, Pass, kCntPass},
    {'P', 'O', 'R', 0, 1, Port, kCntPort},
    {'P', 'O', 'S', 'T', 1, Http, kNoCounter},                      // POST
    {'P', 'W', 0, 0, 0, Pwd, kCntPwd},
    {'P', 0, 0, 'V', 0, Pasv, kCntPasv},
    {'P', 'B', 'S', 'Z', 0, WithTls<Pbsz>, kNoCounter},             // PBSZ
    {'P', 'R', 'O', 'T', 0, WithTls<Prot>, kNoCounter},             // PROT
    {'Q', 0, 'I', 0, 0, Quit, kCntQuit},
    {'R', 'E', 'T', 0, 2, Retr, kCntRetr},
    {'R', 'E', 'I', 0, 2, Rein, kCntRein},
    {'R', 'E', 'S', 0, 2, Rest, kCntRest},
    {'R', 0, 'F', 0, 0, Rnfr, kCntRnfr},
    {'R', 0, 'T', 0, 0, Rnto, kCntRnto},
    {'R', 'M', 0, 0, 0, RemoveDir, kCntRmd},
    {'S', 'Y', 0, 0, 0, Syst, kCntSyst},
    {'S', 'M', 0, 0, 0, Smnt, kCntSmnt},
    {'S', 0, 0, 'R', 0, StorFile, kCntStor},
    {'S', 0, 'A', 0, 0, Mlst, kCntStat},                            // STAT
    {'S', 0, 'Z', 0, 0, Size, kCntSize},
    {'S', 'I', 0, 0, 0, Site, kCntSite},
    {'S', 0, 'O', 'U', 3, Stou, kCntStou},
    {'S', 0, 0, 'U', 0, Stru, kCntStru},
    {'T', 'Y', 0, 0, 0, Type, kCntType},
    {'U', 0, 0, 0, 0, User, kCntUser},
    {'V', 'R', 'F', 'Y', 0, Smtp, kNoCounter},                      // VRFY
    {'X', 'P', 'W', 'D', 0, Pwd, kCntPwd},
    {'X', 'C', 'W', 'D', 0, Cwd, kCntCwd},
    {'X', 'M', 'K', 'D', 0, Mkd, kCntMkd},
    {'X', 'R', 'M', 'D', 0, RemoveDir, kCntRmd},
};
static_assert(std::size(kCommands) == 64);

bool Matches(const CmdRow &row, const char *word)
{
    return (row.at2 == 0 || word[1] == row.at2) && (row.at3 == 0 || word[2] == row.at3)
           && (row.at4 == 0 || word[3] == row.at4);
}

bool OpensBlock(uint8_t block, const char *word)
{
    for (const BlockOpener &o : kBlockOpeners) {
        if (o.block == block)
            return word[o.place - 1] == o.letter;
    }
    return false;
}

// The commands whose argument is a name (or a password), taken as it
// stands after the one separator: a name may begin with a blank.  Every
// other argument may be preceded by any number of blanks.
constexpr CmdHandler kNameTakers[] = {Appe, Cwd, Dele, List, NameList, Mkd, Mdtm, Mlsd, Mlst, Retr,
                                      Rnfr, Rnto, RemoveDir, StorFile, Stou, Size, Pass};

bool TakesName(CmdHandler handler)
{
    for (CmdHandler h : kNameTakers) {
        if (h == handler)
            return true;
    }
    return false;
}

void Run(const CmdRow &row, char *arg)
{
    if (row.counter != kNoCounter)
        gCmdCounts[row.counter]++;
    if (!TakesName(row.handler)) {
        while (*arg == ' ' || *arg == '\t')
            arg++;
    }
    row.handler(arg);
}

void Unrecognised()
{
    gCmdCounts[kCntUnknown]++;
    NotUnderstood();
}

}  // namespace

void DispatchCommand(const char *word, char *arg)
{
    const size_t n = std::size(kCommands);
    for (size_t i = 0; i < n; i++) {
        const CmdRow &row = kCommands[i];
        if (row.first != word[0])
            continue;
        if (row.block != 0) {
            // Only the first row of a block gets here: the rest are skipped
            // or tried together below.
            size_t end = i;
            while (end < n && kCommands[end].block == row.block)
                end++;
            if (OpensBlock(row.block, word)) {
                for (size_t j = i; j < end; j++) {
                    if (Matches(kCommands[j], word)) {
                        Run(kCommands[j], arg);
                        return;
                    }
                }
                Unrecognised();
                return;
            }
            i = end - 1;
            continue;
        }
        if (Matches(row, word)) {
            Run(row, arg);
            return;
        }
    }
    Unrecognised();
}
