// Catches the records that Log() sends over the log pipe, for tests.
#pragma once

#include <fcntl.h>
#include <unistd.h>

#include <cstring>
#include <string>
#include <vector>

#include "log/log.h"

struct CapturedRecord {
    LogRecordHeader hdr;
    std::string text;
};

class LogCapture {
  public:
    LogCapture()
    {
        if (pipe2(fds_, O_NONBLOCK) == 0)
            gLogPipe = fds_[1];
    }
    ~LogCapture()
    {
        gLogPipe = -1;
        close(fds_[0]);
        close(fds_[1]);
    }
    LogCapture(const LogCapture &) = delete;
    LogCapture &operator=(const LogCapture &) = delete;

    // Every record written since the last call.
    std::vector<CapturedRecord> Take()
    {
        std::vector<CapturedRecord> out;
        CapturedRecord r;
        while (read(fds_[0], &r.hdr, sizeof(r.hdr)) == static_cast<ssize_t>(sizeof(r.hdr))) {
            r.text.assign(static_cast<size_t>(r.hdr.length), '\0');
            if (r.hdr.length > 0 && read(fds_[0], r.text.data(), r.text.size()) != r.hdr.length)
                break;
            out.push_back(r);
        }
        return out;
    }

    // The texts only.
    std::vector<std::string> Texts()
    {
        std::vector<std::string> out;
        for (const CapturedRecord &r : Take())
            out.push_back(r.text);
        return out;
    }

  private:
    int fds_[2] = {-1, -1};
};
