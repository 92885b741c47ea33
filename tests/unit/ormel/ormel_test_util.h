// Shared helpers of the Ormel tests: a private temporary directory, whole-file
// reads, an expected-image builder and a child-process runner.
#pragma once

#include "ormel.h"

#include <gtest/gtest.h>

#include <sys/stat.h>
#include <sys/wait.h>
#include <unistd.h>

#include <cstdint>
#include <cstdlib>
#include <cstring>
#include <filesystem>
#include <fstream>
#include <functional>
#include <iterator>
#include <string>
#include <vector>

using Bytes = std::vector<unsigned char>;

class OrmelTest : public ::testing::Test {
  protected:
    void SetUp() override
    {
        char tmpl[] = "/tmp/ormel-test-XXXXXX";
        ASSERT_NE(mkdtemp(tmpl), nullptr);
        dir_ = tmpl;
        path_ = dir_ + "/passwd.db";
    }
    void TearDown() override
    {
        if (OrmelIsOpenForTest(&h_))
            Ormel_Close(&h_);
        std::error_code ec;
        std::filesystem::remove_all(dir_, ec);
    }
    static bool OrmelIsOpenForTest(const OrmelHandle *h) { return memcmp(h->magic, "_Ormel_", 7) == 0; }

    // Creates a new database with the given bucket count and leaves it open.
    void Create(int nBuckets)
    {
        ASSERT_EQ(Ormel_Open(&h_, path_.c_str(), kOrmelWrite | kOrmelCreate, 0644, nBuckets), 0);
    }
    int Insert(const std::string &key, const std::string &data, int replace = 0)
    {
        return Ormel_Insert(&h_, key.data(), static_cast<int>(key.size()), data.data(), static_cast<int>(data.size()),
                            replace);
    }
    // The data of key, or "<code>" when the query fails.
    std::string Get(const std::string &key)
    {
        OrmelDatum d;
        int rc = Ormel_Query(&h_, key.data(), static_cast<int>(key.size()), &d);
        if (rc != 0)
            return "<" + std::to_string(rc) + ">";
        EXPECT_EQ(d.data[d.len], '\0');
        std::string s(d.data, d.len);
        free(d.data);
        return s;
    }
    Bytes FileBytes() const
    {
        std::ifstream in(path_, std::ios::binary);
        return Bytes(std::istreambuf_iterator<char>(in), {});
    }
    off_t FileSize() const
    {
        struct stat st;
        return stat(path_.c_str(), &st) == 0 ? st.st_size : -1;
    }
    uint32_t Word(uint64_t off) const
    {
        uint32_t v = 0;
        std::ifstream in(path_, std::ios::binary);
        in.seekg(static_cast<std::streamoff>(off));
        in.read(reinterpret_cast<char *>(&v), 4);
        return v;
    }
    void WriteFile(const Bytes &b) const
    {
        std::ofstream out(path_, std::ios::binary | std::ios::trunc);
        out.write(reinterpret_cast<const char *>(b.data()), static_cast<std::streamsize>(b.size()));
    }

    std::string dir_;
    std::string path_;
    OrmelHandle h_ = {};
};

inline void PutWord(Bytes &b, uint32_t v) { b.insert(b.end(), reinterpret_cast<unsigned char *>(&v), reinterpret_cast<unsigned char *>(&v) + 4); }
inline void PutHalf(Bytes &b, uint16_t v) { b.insert(b.end(), reinterpret_cast<unsigned char *>(&v), reinterpret_cast<unsigned char *>(&v) + 2); }
inline void PutText(Bytes &b, const std::string &s) { b.insert(b.end(), s.begin(), s.end()); }

// The image of an empty database.
inline Bytes EmptyImage(uint32_t nBuckets)
{
    Bytes b;
    PutText(b, "_Ormel_");
    b.resize(16, 0);
    PutWord(b, nBuckets);
    b.resize(20 + 4 * nBuckets, 0);
    PutWord(b, 0xFFFFFFFF);
    return b;
}

// One record as it lies in the file.
inline Bytes RecordImage(uint32_t next, const std::string &key, const std::string &data)
{
    Bytes b;
    PutWord(b, next);
    PutHalf(b, static_cast<uint16_t>(data.size()));
    PutHalf(b, static_cast<uint16_t>(key.size()));
    std::string head = key.substr(0, 16);
    head.resize(16, '\0');
    PutText(b, head);
    if (key.size() > 16)
        PutText(b, key.substr(16));
    PutText(b, data);
    return b;
}

inline void SetWord(Bytes &b, size_t off, uint32_t v) { memcpy(b.data() + off, &v, 4); }

// Runs fn in a child process; the child exits with fn's result.
inline pid_t RunInChild(const std::function<int()> &fn)
{
    fflush(nullptr);
    pid_t pid = fork();
    if (pid == 0)
        _exit(fn());
    return pid;
}

// Waits for a child and returns its exit status, or -1 if it did not exit normally.
inline int WaitChild(pid_t pid)
{
    int status = 0;
    if (waitpid(pid, &status, 0) != pid || !WIFEXITED(status))
        return -1;
    return WEXITSTATUS(status);
}

// Hash functions that put keys into chosen chains.
inline Ormel_hash32_t OneChainHash(const void *, int) { return 0; }
inline Ormel_hash32_t FirstByteHash(const void *key, int) { return *static_cast<const unsigned char *>(key); }
