// The server's settings against a registry and a program folder of their own.
#include "server/ServerSettings.h"

#include "common/Log.h"
#include "platform/MessageBox.h"
#include "platform/Registry.h"
#include "support/TestSupport.h"

#include <gtest/gtest.h>

#include <cstdlib>
#include <filesystem>
#include <sstream>
#include <vector>

using namespace tq_test;

namespace
{

class ServerSettingsTest : public ::testing::Test
{
protected:
    void SetUp() override
    {
        std::filesystem::create_directories(m_folder);
        setenv("TARVIQEN_REGISTRY", m_registry.c_str(), 1);
        setenv("TARVIQEN_FOLDER", m_folder.c_str(), 1);
        SetMessageBoxHandler([this](std::string_view caption, std::string_view text) {
            m_messages.push_back(std::string(caption) + ": " + std::string(text));
        });
    }
    void TearDown() override
    {
        SetMessageBoxHandler(nullptr);
        CServerSettings::DestroyInstance();
        CLog::DestroyInstance();
        unsetenv("TARVIQEN_REGISTRY");
        unsetenv("TARVIQEN_FOLDER");
    }
    std::string KeyFile() const
    {
        return CRegistryKey::KeyFilePath(RegistryHive::LocalMachine, CServerSettings::REGISTRY_KEY);
    }
    // A key file written by hand: the given lines and nothing else.
    void WriteKey(const std::string& lines) const
    {
        std::filesystem::create_directories(std::filesystem::path(KeyFile()).parent_path());
        WriteFile(KeyFile(), lines);
    }
    // Every value, with LogLevel `level` and the given password.
    std::string FullKey(int level = 2, const std::string& password = "5318") const
    {
        char numbers[200];
        std::snprintf(numbers, sizeof(numbers),
                      "\"ClientPort\"=dword:00001b58\n\"AdminPort\"=dword:00001b59\n"
                      "\"ClientIdleDisconnect\"=dword:0000003c\n\"LogLevel\"=dword:%08x\n"
                      "\"MaxLogLines\"=dword:00000064\n",
                      static_cast<unsigned>(level));
        return std::string(numbers) + "\"LogFile\"=\"" + m_dir.File("log.txt") + "\"\n" +
               "\"AdminPassword\"=\"" + password + "\"\n";
    }
    CServerSettings& Settings() { return *CServerSettings::GetInstance(); }

    TempDir m_dir;
    std::string m_registry = m_dir.File("registry");
    std::string m_folder = m_dir.File("program");
    std::vector<std::string> m_messages;
};

TEST_F(ServerSettingsTest, FreshMachineGetsDefaults)
{
    EXPECT_FALSE(Settings().AnyValueStored());
    EXPECT_FALSE(Settings().Load(true));
    EXPECT_TRUE(m_messages.empty()) << "a missing key is never reported";
    EXPECT_FALSE(Settings().Save()) << "Save needs an existing key";

    ASSERT_TRUE(Settings().CreateDefaults());
    const std::string key = ReadFile(KeyFile());
    for (const char* name : {"\"LogFile\"", "\"ClientPort\"", "\"LogLevel\"", "\"MaxLogLines\"",
                             "\"AdminPort\"", "\"ClientIdleDisconnect\"", "\"AdminPassword\""})
    {
        EXPECT_NE(key.find(name), std::string::npos) << name;
    }
    EXPECT_EQ(Settings().Values().logFile, "") << "CreateDefaults does not fill memory";

    CServerSettings::DestroyInstance();
    ASSERT_TRUE(Settings().AnyValueStored());
    ASSERT_TRUE(Settings().Load(true));
    EXPECT_EQ(Settings().Values().logFile, m_folder + "/TarviQenServerLog.txt");
    EXPECT_EQ(Settings().Values().clientPort, 7000);
    EXPECT_EQ(Settings().Values().adminPort, 7000);
    EXPECT_EQ(Settings().Values().logLevel, 2);
    EXPECT_EQ(Settings().Values().maxLogLines, 10000);
    EXPECT_EQ(Settings().Values().clientIdleDisconnect, 0);
    EXPECT_EQ(Settings().Values().adminPassword, "5318");
    EXPECT_TRUE(m_messages.empty());
}

TEST_F(ServerSettingsTest, IncompleteOrInvalidKeyFailsLoad)
{
    WriteKey("\"MaxLogLines\"=dword:00000064\n");
    EXPECT_TRUE(Settings().AnyValueStored()) << "install then writes no defaults";
    EXPECT_EQ(Settings().Values().maxLogLines, 100) << "the value read stays in memory";
    EXPECT_FALSE(Settings().Load(false));
    EXPECT_TRUE(m_messages.empty());
    EXPECT_FALSE(Settings().Load(true));
    ASSERT_EQ(m_messages.size(), 1u);
    EXPECT_EQ(m_messages[0], "Ostrivel Tarvi*Qen Server: Failed to read settings.");

    // LogLevel alone is not a stored value for the install decision.
    WriteKey("\"LogLevel\"=dword:00000002\n");
    EXPECT_FALSE(Settings().AnyValueStored());

    for (const int level : {0, 4, -1})
    {
        WriteKey(FullKey(level));
        EXPECT_FALSE(Settings().Load(false)) << "LogLevel " << level;
    }
    WriteKey(FullKey(3));
    ASSERT_TRUE(Settings().Load(false));
    EXPECT_EQ(Settings().Values().logLevel, 3);
    EXPECT_EQ(Settings().Values().adminPort, 7001);
    EXPECT_EQ(Settings().Values().clientIdleDisconnect, 60);

    // An empty log file name cannot be used.
    WriteKey(FullKey() + "\"LogFile\"=\"\"\n");
    EXPECT_FALSE(Settings().Load(false));
}

TEST_F(ServerSettingsTest, OverlongTextsFailLoadWithoutEndingTheProcess)
{
    WriteKey(FullKey(2, std::string(128, 'p')));
    EXPECT_FALSE(Settings().Load(true));
    EXPECT_EQ(m_messages.size(), 1u);

    WriteKey(FullKey(2, std::string(127, 'p')));
    ASSERT_TRUE(Settings().Load(false));
    EXPECT_EQ(Settings().Values().adminPassword.size(), 127u);

    // 1025 UTF-16 characters are 2050 bytes: over the 2048-byte limit of a text.
    WriteKey(FullKey() + "\"LogFile\"=\"/" + std::string(1024, 'f') + "\"\n");
    EXPECT_FALSE(Settings().Load(false));
    WriteKey(FullKey() + "\"LogFile\"=\"/" + std::string(1023, 'f') + "\"\n");
    EXPECT_TRUE(Settings().Load(false));
}

TEST_F(ServerSettingsTest, SettingNamesAreExact)
{
    for (const char* name : {"AdminPassword", "AdminPort", "ClientIdleDisconnect", "ClientPort",
                             "LogFile", "LogLevel", "MaxLogLines"})
    {
        EXPECT_TRUE((FindServerSetting(name) != nullptr)) << name;
    }
    for (const char* name : {"loglevel", "LOGLEVEL", "LogLevel ", " LogLevel", "", "Log", "Password"})
    {
        EXPECT_FALSE((FindServerSetting(name) != nullptr)) << "'" << name << "'";
    }
}

TEST_F(ServerSettingsTest, SaveAndLoadKeepTextsAndNumbers)
{
    ASSERT_TRUE(Settings().CreateDefaults());
    ASSERT_TRUE(Settings().Load(false));
    const std::string logFile = m_dir.File("Журнал \"сервера\" \\ 日志 😀.txt");
    Settings().Values().logFile = logFile;
    Settings().Values().adminPassword = "pässwörd";
    Settings().Values().adminPort = 8123;
    Settings().Values().clientPort = 9123;
    Settings().Values().clientIdleDisconnect = -5;
    Settings().Values().maxLogLines = -1;
    Settings().Values().logLevel = 1;
    ASSERT_TRUE(Settings().Save());

    CServerSettings::DestroyInstance();
    ASSERT_TRUE(Settings().Load(false));
    EXPECT_EQ(Settings().Values().logFile, logFile);
    EXPECT_EQ(Settings().Values().adminPassword, "pässwörd");
    EXPECT_EQ(Settings().Values().adminPort, 8123);
    EXPECT_EQ(Settings().Values().clientPort, 9123);
    EXPECT_EQ(Settings().Values().clientIdleDisconnect, -5);
    EXPECT_EQ(Settings().Values().maxLogLines, -1);
    EXPECT_EQ(Settings().Values().logLevel, 1);

    std::string value;
    EXPECT_TRUE(Settings().GetValueText("MaxLogLines", value));
    EXPECT_EQ(value, "-1");
    EXPECT_TRUE(Settings().GetValueText("LogLevel", value));
    EXPECT_EQ(value, "1") << "the number, not the name";
    EXPECT_TRUE(Settings().GetValueText("LogFile", value));
    EXPECT_EQ(value, logFile);
    EXPECT_FALSE(Settings().GetValueText("adminport", value));

    // Save fails once the key is gone; memory keeps the new values.
    std::filesystem::remove(KeyFile());
    Settings().Values().clientPort = 1234;
    EXPECT_FALSE(Settings().Save());
    EXPECT_EQ(Settings().Values().clientPort, 1234);
}

TEST_F(ServerSettingsTest, PrintWritesTheBlockAtEveryLevel)
{
    WriteKey(FullKey(1, "secret-word"));
    ASSERT_TRUE(Settings().Load(false));
    CLog* pLog = CLog::GetInstance();
    const std::string logPath = m_dir.File("print.txt");
    pLog->SetFilename(logPath);
    pLog->SetLogLevel(CLog::LEVEL_ERROR);
    Settings().Print();

    const std::string hyphens(51, '-');
    const std::vector<std::string> expected = {hyphens,
                                               "",
                                               "Server Settings",
                                               "",
                                               "AdminPort            = 7001",
                                               "ClientIdleDisconnect = 60",
                                               "ClientPort           = 7000",
                                               "LogFile              = " + m_dir.File("log.txt"),
                                               "LogLevel             = Error",
                                               "MaxLogLines          = 100",
                                               "",
                                               hyphens};
    std::istringstream lines(ReadFile(logPath));
    std::string line;
    size_t count = 0;
    while (std::getline(lines, line))
    {
        ASSERT_LT(count, expected.size());
        ASSERT_GE(line.size(), 25u);
        EXPECT_EQ(line.substr(23, 1), " ");
        EXPECT_EQ(line.substr(24), expected[count] + "\r") << "line " << count + 1;
        ++count;
    }
    EXPECT_EQ(count, expected.size());
    EXPECT_EQ(ReadFile(logPath).find("secret-word"), std::string::npos);
}

} // namespace

TEST_F(ServerSettingsTest, MetricsValuesAreOptionalAndSurviveSave)
{
    WriteKey(FullKey());
    ASSERT_TRUE(Settings().Load(false));
    EXPECT_EQ(Settings().GetMetricsPort(), 0) << "off unless set";
    EXPECT_EQ(Settings().GetMetricsAddress(), "127.0.0.1");

    WriteKey(FullKey() + "\"MetricsPort\"=dword:00002382\n\"MetricsAddress\"=\"0.0.0.0\"\n");
    ASSERT_TRUE(Settings().Load(false));
    EXPECT_EQ(Settings().GetMetricsPort(), 9090);
    EXPECT_EQ(Settings().GetMetricsAddress(), "0.0.0.0");
    ASSERT_TRUE(Settings().Save());
    EXPECT_NE(ReadFile(KeyFile()).find("\"MetricsPort\"=dword:00002382"), std::string::npos)
        << "a save of the other settings keeps them";
    EXPECT_EQ(FindServerSetting("MetricsPort"), nullptr) << "not an admin setting";

    WriteKey(FullKey() + "\"MetricsAddress\"=\"\"\n");
    ASSERT_TRUE(Settings().Load(false));
    EXPECT_EQ(Settings().GetMetricsAddress(), "127.0.0.1");
}
