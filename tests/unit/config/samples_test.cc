// The sample configuration files shipped in conf/ are valid.
#include "config/config.h"

#include <gtest/gtest.h>

#include <fstream>
#include <sstream>
#include <string>
#include <utility>

#include "conffile.h"
#include "config/userclass.h"

namespace {

// The template with its directories replaced, as the demo script does.
std::string Sample(const char *name, const std::string &demoDir)
{
    std::ifstream in(std::string(ZORVAD_CONF_DIR) + "/" + name);
    std::stringstream ss;
    ss << in.rdbuf();
    std::string text = ss.str();
    const std::pair<std::string, std::string> words[] = {
        {"@CONFDIR@", demoDir + "/etc"}, {"@LOGDIR@", demoDir + "/logs"},
        {"@FTPHOME@", demoDir + "/ftp"}, {"@RUNDIR@", demoDir}};
    for (const auto &[word, dir] : words)
        for (size_t at; (at = text.find(word)) != std::string::npos;)
            text.replace(at, word.size(), dir);
    return text;
}

TEST(Samples, TheDemoGeneralCfIsAccepted)
{
    SetConfigDefaults();
    TempConfDir dir;
    const std::string text = Sample("general.cf", dir.dir());
    ASSERT_FALSE(text.empty());
    ReadConfigFile(dir.Write("general.cf", text).c_str());
    EXPECT_EQ(gServerPort, 21);
    EXPECT_EQ(gNumChildren, 10);
    EXPECT_EQ(gMinChildren, 2);
    EXPECT_EQ(gPIDFile, dir.dir() + "/zorvad.pid.sh");
    EXPECT_EQ(gLogMiscPath, dir.dir() + "/logs/misc.%Y%m%d");
    EXPECT_EQ(gAllowedSITECommands, 59);
    EXPECT_EQ(gEphemeralPortLo, 49152);
    EXPECT_EQ(CloseUserClasses(), 0);
    EXPECT_STREQ(gUserClasses[0].name, "default");
    SetConfigDefaults();
}

TEST(Samples, EveryDomainCfLineIsAKeyWithAValue)
{
    std::istringstream in(Sample("domain.cf", "/demo"));
    std::string line;
    int keys = 0;
    for (int n = 1; std::getline(in, line); n++) {
        char *key, *value;
        if (SplitConfigLine(line.data(), &key, &value) == 0)
            continue;
        keys++;
        EXPECT_EQ(IsConfigKey(key), 1) << "line " << n << ": " << key;
        EXPECT_STRNE(value, "") << "line " << n << ": " << key;
    }
    EXPECT_GT(keys, 10);
}

}  // namespace
