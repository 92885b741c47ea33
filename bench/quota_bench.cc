// Measures the walk that measures a user's usage (ComputeQuota) on a home
// tree of many files, against du on the same tree.  Run by hand:
//   quota_bench [files] [scratch-dir]     (default 100000, /var/tmp)
// The tree is made below the scratch directory and removed at the end; each
// figure is the median of several warm runs.
#include <fcntl.h>
#include <unistd.h>

#include <algorithm>
#include <chrono>
#include <cstdio>
#include <cstdlib>
#include <filesystem>
#include <string>
#include <vector>

#include "Strn.h"
#include "config/config.h"
#include "paths/paths.h"
#include "quota/quota.h"

namespace {

using Clock = std::chrono::steady_clock;
constexpr int kRuns = 7;
constexpr int kFilesPerDir = 500;

double Seconds(Clock::time_point since) { return std::chrono::duration<double>(Clock::now() - since).count(); }

// files regular files of 0..4095 bytes, kFilesPerDir per directory, the
// directories two levels deep (d<i>/e<j>).
void MakeTree(const std::string &root, int files)
{
    std::filesystem::create_directories(root);
    int made = 0;
    for (int i = 0; made < files; i++) {
        for (int j = 0; j < 10 && made < files; j++) {
            const std::string dir = root + "/d" + std::to_string(i) + "/e" + std::to_string(j);
            std::filesystem::create_directories(dir);
            for (int k = 0; k < kFilesPerDir && made < files; k++, made++) {
                const std::string p = dir + "/f" + std::to_string(k);
                const int fd = open(p.c_str(), O_WRONLY | O_CREAT | O_TRUNC, 0644);
                if (fd < 0 || ftruncate(fd, (made * 7919) % 4096) < 0) {
                    perror(p.c_str());
                    exit(1);
                }
                close(fd);
            }
        }
    }
}

double Median(std::vector<double> v)
{
    std::sort(v.begin(), v.end());
    return v[v.size() / 2];
}

double TimeCommand(const std::string &cmd)
{
    std::vector<double> t;
    for (int i = 0; i < kRuns; i++) {
        const auto start = Clock::now();
        if (system((cmd + " >/dev/null").c_str()) != 0) {
            fprintf(stderr, "failed: %s\n", cmd.c_str());
            exit(1);
        }
        t.push_back(Seconds(start));
    }
    return Median(t);
}

double TimeComputeQuota(const std::string &root)
{
    Strncpy(gHomeDir, root.c_str(), sizeof(gHomeDir));
    gHomeDirLen = static_cast<int>(root.size());
    gSessionUid = getuid();
    gVQuotas = 1;
    gCountOnlyFilesOwnedByUserTowardsQuota = 1;
    std::vector<double> t;
    for (int i = 0; i < kRuns; i++) {
        SessionResetQuota();
        SessionSetQuotaLimits(1 << 30, 0, 0, 0);
        const auto start = Clock::now();
        ComputeQuota();
        t.push_back(Seconds(start));
    }
    printf("ComputeQuota: %lld bytes, %lld files, %lld dirs, depth %lld\n",
           static_cast<long long>(gUserBytesUsage), static_cast<long long>(gUserFilesUsage),
           static_cast<long long>(gQuotaDirCount), static_cast<long long>(gQuotaMaxDepth));
    return Median(t);
}

}  // namespace

int main(int argc, char **argv)
{
    const int files = argc > 1 ? atoi(argv[1]) : 100000;
    const std::string scratch = argc > 2 ? argv[2] : "/var/tmp";
    const std::string root = scratch + "/quota_bench." + std::to_string(getpid());
    MakeTree(root, files);
    const double du = TimeCommand("du -s --inodes " + root);
    const double dub = TimeCommand("du -sb " + root);
    const double cq = TimeComputeQuota(root);
    std::filesystem::remove_all(root);
    printf("%d files, median of %d warm runs:\n", files, kRuns);
    printf("  du -s --inodes  %8.3f s\n", du);
    printf("  du -sb          %8.3f s\n", dub);
    printf("  ComputeQuota    %8.3f s  (%.2fx du --inodes, %.2fx du -sb)\n", cq, cq / du, cq / dub);
    return 0;
}
