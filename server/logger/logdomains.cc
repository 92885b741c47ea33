// The logger's view of the domain table: every record carries the number of
// its sender's domain set, and the logger takes each set's log path patterns
// from the table (re-reading domain.cf on SIGHUP and when a record names a
// set it does not know).
#include "config/domain.h"
#include "log/log.h"
#include "logger/logger.h"

namespace {

int NumDomains()
{
    return gNumDomains;
}

const char *PathPattern(int domain, int type)
{
    if (domain < 0 || domain >= gNumDomains)
        return nullptr;
    return DomainLogPathPattern(gDomainInfo[domain], type);
}

int Reload()
{
    return ReloadDomainCf();
}

}  // namespace

void ConnectLogsToDomains()
{
    gLogDomainPtr = &gDomain;
    gLoggerDomains = {NumDomains, PathPattern, Reload};
}
