// Measures the keyed database at password-database scale: insertions per
// second while building a database of virtual users with 131071 buckets (the
// password tool's default), then look-ups per second in it.  Run by hand:
//   ormel_bench [users]        (default 1000000)
#include "ormel.h"

#include <unistd.h>

#include <algorithm>
#include <chrono>
#include <cinttypes>
#include <cstdio>
#include <cstdlib>
#include <cstring>
#include <filesystem>
#include <random>
#include <string>
#include <unordered_set>
#include <vector>

namespace {

constexpr int kBuckets = 131071;

using Clock = std::chrono::steady_clock;

double Seconds(Clock::time_point since) { return std::chrono::duration<double>(Clock::now() - since).count(); }

// Unique user names of 6 to 12 lowercase letters, some with a number after
// them.  ChainReport shows how they and numbered names ("vuser0000001", ...)
// fall into chains by the hash that places new records, and by the classic
// one of older files, which crowds numbered names into a few hundred chains.
std::vector<std::string> UserNames(int users)
{
    std::mt19937 rng(4711);
    std::unordered_set<std::string> seen;
    std::vector<std::string> names;
    names.reserve(users);
    while (static_cast<int>(names.size()) < users) {
        std::string name;
        for (int len = 6 + static_cast<int>(rng() % 7); len > 0; len--)
            name += static_cast<char>('a' + rng() % 26);
        if (rng() % 10 < 4)
            name += std::to_string(rng() % 100);
        if (seen.insert(name).second)
            names.push_back(name);
    }
    return names;
}

// Chains used, longest chain, and records read by an average successful look-up.
void ChainReport(const char *what, const std::vector<std::string> &names, OrmelHashFunction hash)
{
    std::vector<uint32_t> chain(kBuckets);
    for (const std::string &n : names)
        chain[hash(n.data(), static_cast<int>(n.size())) % kBuckets]++;
    uint64_t used = 0, longest = 0, walk = 0;
    for (uint32_t len : chain) {
        used += len > 0;
        longest = std::max<uint64_t>(longest, len);
        walk += uint64_t{len} * (len + 1) / 2;
    }
    printf("%s: %" PRIu64 " chains used, longest %" PRIu64 ", %.1f records read per hit on average\n", what, used,
           longest, static_cast<double>(walk) / names.size());
}

// A virtual-user password line as the password tool stores it: the full
// extended format with quotas and options, NUL included; about 100 bytes.
std::string UserLine(const std::string &name, int i)
{
    static const char kSalt[] = "./0123456789ABCDEFGHIJKLMNOPQRSTUVWXYZabcdefghijklmnopqrstuvwxyz";
    std::string hash;
    for (int k = 0; k < 22; k++)
        hash += kSalt[(i * 7 + k * 13) % 64];
    char line[256];
    int n = snprintf(line, sizeof(line), "%s:$1$%.8s$%s:%d:%d::/ftp/%s:/bin/false:%d:%d:0:0::0:0",
                     name.c_str(), hash.c_str() + 8, hash.c_str(), 20000 + i % 5000, 20000, name.c_str(),
                     1024 * (i % 100), 512 * (i % 100));
    return std::string(line, n + 1);
}

int Fail(const char *what, int rc)
{
    fprintf(stderr, "%s: %s (%d)\n", what, Ormel_Strerror(rc), rc);
    return 1;
}

} // namespace

int main(int argc, char **argv)
{
    int users = argc > 1 ? atoi(argv[1]) : 1000000;
    if (users < 1)
        users = 1000000;
    char tmpl[] = "/tmp/ormel-bench-XXXXXX";
    if (mkdtemp(tmpl) == nullptr) {
        perror("mkdtemp");
        return 1;
    }
    std::string dir = tmpl, path = dir + "/passwd.db";
    auto cleanup = [&] {
        std::error_code ec;
        std::filesystem::remove_all(dir, ec);
    };

    std::vector<std::string> names = UserNames(users), lines(users);
    size_t lineBytes = 0;
    for (int i = 0; i < users; i++) {
        lines[i] = UserLine(names[i], i);
        lineBytes += lines[i].size();
    }
    printf("database: %d virtual users, %d buckets, data %.1f bytes on average\n", users, kBuckets,
           static_cast<double>(lineBytes) / users);
    ChainReport("these names", names, Ormel_SpreadHashFunction);
    std::vector<std::string> sequential(users);
    for (int i = 0; i < users; i++) {
        char name[32];
        snprintf(name, sizeof(name), "vuser%07d", i);
        sequential[i] = name;
    }
    ChainReport("names vuser0000000..", sequential, Ormel_SpreadHashFunction);
    ChainReport("names vuser0000000.. by the classic hash", sequential, Ormel_DefaultHashFunction);
    fflush(stdout);

    static OrmelHandle h;
    int rc = Ormel_Open(&h, path.c_str(), kOrmelWrite | kOrmelCreate, 0600, kBuckets);
    if (rc != 0)
        return cleanup(), Fail("open for writing", rc);

    // Build, as the password tool adds users: insertion without replacement.
    int step = users >= 4 ? users / 4 : users;
    auto start = Clock::now(), part = start;
    for (int i = 0; i < users; i++) {
        rc = Ormel_Insert(&h, names[i].data(), static_cast<int>(names[i].size()), lines[i].data(),
                          static_cast<int>(lines[i].size()), 0);
        if (rc != 0)
            return cleanup(), Fail("insert", rc);
        if ((i + 1) % step == 0) {
            printf("  insert %7d..%7d: %9.0f insertions/s\n", i + 1 - step, i, step / Seconds(part));
            fflush(stdout);
            part = Clock::now();
        }
    }
    double buildTime = Seconds(start);
    auto closeStart = Clock::now();
    rc = Ormel_Close(&h);
    if (rc != 0)
        return cleanup(), Fail("close", rc);
    printf("insert: %d records in %.2f s = %.0f insertions/s (close with sync %.2f s, file %.1f MB)\n", users,
           buildTime, users / buildTime, Seconds(closeStart),
           static_cast<double>(std::filesystem::file_size(path)) / 1e6);

    // Look-ups, as the server's sessions read the database: read-only handle.
    rc = Ormel_Open(&h, path.c_str(), 0, 0, kOrmelDefaultBuckets);
    if (rc != 0)
        return cleanup(), Fail("open for reading", rc);
    std::mt19937 rng(12345);
    std::vector<int> order(users);
    for (int i = 0; i < users; i++)
        order[i] = static_cast<int>(rng() % users);
    start = Clock::now();
    for (int i : order) {
        OrmelDatum d;
        rc = Ormel_Query(&h, names[i].data(), static_cast<int>(names[i].size()), &d);
        if (rc != 0)
            return cleanup(), Fail("query", rc);
        if (d.len != static_cast<int>(lines[i].size()) || memcmp(d.data, lines[i].data(), d.len) != 0) {
            fprintf(stderr, "query: wrong data for %s\n", names[i].c_str());
            return cleanup(), 1;
        }
        free(d.data);
    }
    double t = Seconds(start);
    printf("lookup (present, random order): %d in %.2f s = %.0f lookups/s\n", users, t, users / t);

    int misses = users / 5 > 0 ? users / 5 : 1;
    start = Clock::now();
    for (int i = 0; i < misses; i++) {
        std::string name = "nouser" + std::to_string(i);
        rc = Ormel_Exists(&h, name.data(), static_cast<int>(name.size()));
        if (rc != kOrmelErrNotFound)
            return cleanup(), Fail("exists", rc);
    }
    t = Seconds(start);
    printf("lookup (absent): %d in %.2f s = %.0f lookups/s\n", misses, t, misses / t);

    OrmelCursor cursor;
    int count = 0;
    start = Clock::now();
    for (rc = Ormel_FirstKey(&h, nullptr, nullptr, &cursor); rc == 0; rc = Ormel_NextKey(&h, nullptr, nullptr, &cursor))
        count++;
    t = Seconds(start);
    if (rc != kOrmelErrNoMoreRecords || count != users)
        return cleanup(), Fail("enumerate", rc);
    printf("enumerate (keys only): %d records in %.2f s = %.0f records/s\n", count, t, count / t);
    Ormel_Close(&h);

    // One login: open read-only, look the user up, close.
    int logins = users / 10 > 0 ? users / 10 : 1;
    start = Clock::now();
    for (int n = 0; n < logins; n++) {
        int i = order[n];
        OrmelDatum d;
        if ((rc = Ormel_Open(&h, path.c_str(), 0, 0, kOrmelDefaultBuckets)) != 0 ||
            (rc = Ormel_Query(&h, names[i].data(), static_cast<int>(names[i].size()), &d)) != 0)
            return cleanup(), Fail("open and query", rc);
        free(d.data);
        Ormel_Close(&h);
    }
    t = Seconds(start);
    printf("open + lookup + close: %d in %.2f s = %.0f per second\n", logins, t, logins / t);

    cleanup();
    return 0;
}
