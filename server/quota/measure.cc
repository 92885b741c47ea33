#include "quota/measure.h"

#include "paths/treewalk.h"

namespace {

struct Counting {
    uid_t owner;
    bool onlyOwned;
    QuotaMeasure *m;
};

// What a directory holds matters unless it belongs to someone else while
// only the user's own entries count: its owner, not the user, filled it.
bool CountEntry(const TreeWalkEntry &e, void *ctx)
{
    const struct stat &st = *e.st;
    const Counting *c = static_cast<const Counting *>(ctx);
    if (!QuotaCountsEntry(st, c->owner, c->onlyOwned))
        return false;
    c->m->files++;
    if (S_ISREG(st.st_mode))
        c->m->bytes += st.st_size;
    return true;
}

}  // namespace

bool QuotaCountsEntry(const struct stat &st, uid_t owner, bool onlyOwned)
{
    return !onlyOwned || st.st_uid == owner;
}

int MeasureQuotaTree(int rootFd, uid_t owner, bool onlyOwned, QuotaMeasure *m)
{
    *m = QuotaMeasure{0, 1, 0, 0};
    Counting c{owner, onlyOwned, m};
    TreeWalkStats stats{0, 0, 0};
    const int rc = WalkTree(rootFd, CountEntry, &c, &stats);
    m->dirCount = stats.dirCount;
    m->maxDepth = stats.maxDepth;
    if (rc == 0)
        return 0;
    return stats.missed > 0 ? -1 : 1;   // errno stays the walk's
}
