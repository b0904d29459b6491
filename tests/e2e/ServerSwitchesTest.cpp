// The server program's command line: service control against a stand-in systemctl
// that records its calls, and the two running modes.
#include "support/ServerProcess.h"
#include "support/TestSupport.h"

#include <gtest/gtest.h>

#include <csignal>
#include <cstdio>
#include <filesystem>

using namespace tq_test;
using namespace std::chrono_literals;

namespace
{

const char* const kUsage = "TarviQen -install          to install the service\n"
                           "TarviQen -remove           to remove the service\n"
                           "TarviQen -start            to start the service\n"
                           "TarviQen -stop             to stop the service\n"
                           "TarviQen -debug <params>   to run as a console app for debugging\n";

// Plays the service manager: appends each call to "calls", answers is-active from
// "state", and start/stop change that state (stop does not while "stuck" exists).
const char* const kFakeSystemctl = R"(#!/bin/sh
dir=$(dirname "$0")
echo "$*" >> "$dir/calls"
case "$1" in
is-active) state=$(cat "$dir/state" 2>/dev/null || echo inactive)
           echo "$state"
           [ "$state" = active ] && exit 0
           exit 3 ;;
start) echo active > "$dir/state" ;;
stop) [ -f "$dir/stuck" ] || echo inactive > "$dir/state" ;;
esac
exit 0
)";

struct RunResult
{
    int status = -1;
    std::string out;
    std::string err;
};

class ServerSwitchesTest : public ::testing::Test
{
protected:
    void SetUp() override
    {
        std::filesystem::create_directories(m_units);
        WriteFile(m_systemctl, kFakeSystemctl);
        std::filesystem::permissions(m_systemctl, std::filesystem::perms::owner_all);
    }

    RunResult Run(const std::vector<std::string>& args)
    {
        std::vector<std::string> argv = {Program()};
        argv.insert(argv.end(), args.begin(), args.end());
        ChildProcess process;
        RunResult result;
        EXPECT_TRUE(process.Start(argv, Environment(), m_dir.Path()));
        EXPECT_TRUE(process.Wait(20s, result.status)) << "no end within 20 s";
        result.out = process.Stdout();
        result.err = process.Stderr();
        return result;
    }
    std::map<std::string, std::string> Environment() const
    {
        return {{"TARVIQEN_REGISTRY", m_registry},
                {"TARVIQEN_FOLDER", m_dir.Path()},
                {"TARVIQEN_SYSTEMD_DIR", m_units},
                {"TARVIQEN_SYSTEMCTL", m_systemctl},
                {"NOTIFY_SOCKET", ""}};
    }
    static std::string Program() { return BinDir() + "/TarviQenServer"; }
    std::string KeyFile() const
    {
        return m_registry + "/HKEY_LOCAL_MACHINE/SOFTWARE/Ostrivel/TarviQenServer.reg";
    }
    void WriteKey(const std::string& lines) const
    {
        std::filesystem::create_directories(std::filesystem::path(KeyFile()).parent_path());
        WriteFile(KeyFile(), lines);
    }
    // A complete key on free ports, logging to the default file at `level`.
    void WriteFullKey(int level = 2) const
    {
        char numbers[256];
        std::snprintf(numbers, sizeof(numbers),
                      "\"ClientPort\"=dword:%08x\n\"AdminPort\"=dword:%08x\n"
                      "\"ClientIdleDisconnect\"=dword:00000000\n\"LogLevel\"=dword:%08x\n"
                      "\"MaxLogLines\"=dword:00002710\n",
                      FreeUdpPort(), FreeTcpPort(), static_cast<unsigned>(level));
        WriteKey(std::string(numbers) + "\"LogFile\"=\"" + LogPath() + "\"\n" +
                 "\"AdminPassword\"=\"5318\"\n");
    }
    std::string LogPath() const { return m_dir.File("TarviQenServerLog.txt"); }
    std::string Log() const { return ReadFile(LogPath()); }
    std::string Calls() const { return ReadFile(m_dir.File("calls")); }
    std::string UnitFile() const { return m_units + "/TarviQenService.service"; }
    void SetState(const std::string& state) const { WriteFile(m_dir.File("state"), state + "\n"); }

    TempDir m_dir;
    std::string m_registry = m_dir.File("registry");
    std::string m_units = m_dir.File("units");
    std::string m_systemctl = m_dir.File("systemctl");
};

TEST_F(ServerSwitchesTest, InstallCreatesDefaultsAndEnablesTheUnit)
{
    const RunResult result = Run({"-install", "ignored", "words"});
    EXPECT_EQ(result.status, 0);
    EXPECT_EQ(result.out, "Service installed.\n");
    EXPECT_EQ(result.err, "");
    EXPECT_EQ(Calls(), "daemon-reload\nenable TarviQenService\n");

    const std::string key = ReadFile(KeyFile());
    EXPECT_NE(key.find("\"LogFile\"=\"" + LogPath() + "\""), std::string::npos) << key;
    EXPECT_NE(key.find("\"ClientPort\"=dword:00001b58"), std::string::npos) << key;
    EXPECT_NE(key.find("\"AdminPassword\"=\"5318\""), std::string::npos) << key;

    const std::string unit = ReadFile(UnitFile());
    const std::string program = std::filesystem::canonical(Program()).string();
    for (const std::string& line :
         {std::string("Description=Ostrivel Tarvi*Qen Server\n"), std::string("Type=notify\n"),
          "ExecStart=" + program + "\n", "Environment=TARVIQEN_REGISTRY=" + m_registry + "\n",
          "Environment=TARVIQEN_FOLDER=" + m_dir.Path() + "\n",
          std::string("WantedBy=multi-user.target\n")})
    {
        EXPECT_NE(unit.find(line), std::string::npos) << line << "in\n" << unit;
    }
    EXPECT_NE(Log().find(" Ostrivel Tarvi*Qen Server installed.\r\n"), std::string::npos);

    // An installed service cannot be installed again.
    const RunResult again = Run({"-install"});
    EXPECT_EQ(again.status, 1);
    EXPECT_EQ(again.out, "Failed to install service.\n");
    EXPECT_NE(Log().find(" CreateService failed - File exists (0x11)\r\n"), std::string::npos)
        << Log();
}

TEST_F(ServerSwitchesTest, SwitchesIgnoreCaseAndTakeEitherPrefix)
{
    WriteFullKey();
    for (const char* spelling : {"-INSTALL", "/install", "-Install"})
    {
        std::filesystem::remove(UnitFile());
        const RunResult result = Run({spelling});
        EXPECT_EQ(result.status, 0) << spelling;
        EXPECT_EQ(result.out, "Service installed.\n") << spelling;
        EXPECT_TRUE(FileExists(UnitFile())) << spelling;
    }
    for (const char* other : {"-foo", "/help", "-", "-installx"})
    {
        const RunResult result = Run({other});
        EXPECT_EQ(result.status, 0) << other;
        EXPECT_EQ(result.out, kUsage) << other;
    }
}

TEST_F(ServerSwitchesTest, StartStopAndRemoveDriveTheServiceManager)
{
    WriteFullKey();
    const RunResult notInstalled = Run({"-start"});
    EXPECT_EQ(notInstalled.status, 1);
    EXPECT_EQ(notInstalled.out, "Failed to start service.\n");
    EXPECT_NE(Log().find(" OpenService failed - No such file or directory (0x2)\r\n"),
              std::string::npos);

    ASSERT_EQ(Run({"-install"}).status, 0);
    const std::string logBeforeStop = Log();
    const RunResult stopIdle = Run({"-stop"});
    EXPECT_EQ(stopIdle.status, 1);
    EXPECT_EQ(stopIdle.out, "Failed to stop service.\n");
    EXPECT_EQ(Log(), logBeforeStop) << "a refused stop writes no log line";

    const RunResult start = Run({"-start"});
    EXPECT_EQ(start.status, 0);
    EXPECT_EQ(start.out, "Service started.\n");
    EXPECT_NE(Calls().find("start TarviQenService\n"), std::string::npos);
    EXPECT_NE(Log().find(" Ostrivel Tarvi*Qen Server started.\r\n"), std::string::npos);

    // Remove stops the running service first, then deletes it.
    const RunResult remove = Run({"-remove"});
    EXPECT_EQ(remove.status, 0);
    EXPECT_EQ(remove.out, "Service removed.\n");
    EXPECT_FALSE(FileExists(UnitFile()));
    const std::string log = Log();
    const size_t stopping = log.find(" Stopping Ostrivel Tarvi*Qen Server.\r\n");
    const size_t stopped = log.find(" Ostrivel Tarvi*Qen Server stopped.\r\n");
    const size_t removed = log.find(" Ostrivel Tarvi*Qen Server removed.\r\n");
    ASSERT_NE(stopping, std::string::npos) << log;
    EXPECT_LT(stopping, stopped);
    EXPECT_LT(stopped, removed);
    EXPECT_NE(removed, std::string::npos);
    const std::string calls = Calls();
    EXPECT_NE(calls.find("stop TarviQenService\n"), std::string::npos) << calls;
    EXPECT_NE(calls.find("disable TarviQenService\ndaemon-reload\n"), std::string::npos) << calls;

    const RunResult removeAgain = Run({"-remove"});
    EXPECT_EQ(removeAgain.status, 1);
    EXPECT_EQ(removeAgain.out, "Failed to remove service.\n");

    // A service whose stop leaves it running.
    ASSERT_EQ(Run({"-install"}).status, 0);
    WriteFile(m_dir.File("stuck"), "");
    SetState("active");
    const RunResult stuck = Run({"-stop"});
    EXPECT_EQ(stuck.status, 1);
    EXPECT_EQ(stuck.out, "Failed to stop service.\n");
    EXPECT_NE(Log().find(" Ostrivel Tarvi*Qen Server failed to stop.\r\n"), std::string::npos);
}

TEST_F(ServerSwitchesTest, UnreadableSettingsEndTheProgramEarly)
{
    // No key at all: the service switches end at once, silently; -help prints the
    // usage all the same; -debug says where it looked and how to create the key.
    for (const char* command : {"-start", "-stop", "-remove"})
    {
        const RunResult result = Run({command});
        EXPECT_EQ(result.status, 0) << command;
        EXPECT_EQ(result.out, "") << command;
        EXPECT_EQ(result.err, "") << command;
    }
    for (const char* command : {"-help", "-what"})
    {
        const RunResult help = Run({command});
        EXPECT_EQ(help.status, 0);
        EXPECT_EQ(help.out, kUsage);
        EXPECT_EQ(help.err, "");
    }
    const RunResult debug = Run({"-debug"});
    EXPECT_EQ(debug.status, 1);
    EXPECT_EQ(debug.out, "");
    EXPECT_NE(debug.err.find(KeyFile()), std::string::npos) << debug.err;
    EXPECT_NE(debug.err.find("TarviQenServer -install"), std::string::npos) << debug.err;
    EXPECT_EQ(Calls(), "");

    // A key missing a value: the message box, then status 0 (1 for install and debug).
    WriteKey("\"ClientPort\"=dword:00001b58\n");
    const std::string box = "Ostrivel Tarvi*Qen Server: Failed to read settings.\n";
    const RunResult start = Run({"-start"});
    EXPECT_EQ(start.status, 0);
    EXPECT_EQ(start.out, "");
    EXPECT_EQ(start.err, box);
    const RunResult install = Run({"-install"});
    EXPECT_EQ(install.status, 1);
    EXPECT_EQ(install.err, box);
    const RunResult debugBroken = Run({"-debug"});
    EXPECT_EQ(debugBroken.status, 1);
    EXPECT_EQ(debugBroken.err, box);
    EXPECT_FALSE(FileExists(UnitFile()));
    const RunResult service = Run({});
    EXPECT_EQ(service.status, 0);
    EXPECT_EQ(service.out + service.err, "") << "service mode shows no box";
}

TEST_F(ServerSwitchesTest, InstallWithoutRightsShowsTheAdministratorMessage)
{
    // A registry root below a plain file cannot be created, whoever runs the test.
    WriteFile(m_dir.File("blocker"), "");
    m_registry = m_dir.File("blocker/registry");
    const RunResult result = Run({"-install"});
    EXPECT_EQ(result.status, 0);
    EXPECT_EQ(result.out, "");
    EXPECT_EQ(result.err,
              "Ostrivel Tarvi*Qen Server: Installation of Ostrivel Tarvi*Qen Server service failed. "
              "You need to have administrator privelegies to be able to install the Ostrivel "
              "Tarvi*Qen Server service.\n");
    EXPECT_FALSE(FileExists(UnitFile()));
}

TEST_F(ServerSwitchesTest, ServiceModeRunsUntilSigterm)
{
    WriteFullKey();
    ChildProcess process;
    // "install" without a prefix is no switch: the program runs as the service.
    ASSERT_TRUE(process.Start({Program(), "install"}, Environment(), m_dir.Path()));
    EXPECT_TRUE(WaitUntil([&] { return Log().find(" started.\r\n") != std::string::npos; }, 10s))
        << Log();
    process.Signal(SIGTERM);
    int status = -1;
    ASSERT_TRUE(process.Wait(10s, status));
    EXPECT_EQ(status, 0);
    EXPECT_EQ(process.Stdout(), std::string(kUsage) +
                                    "\nStartServiceCtrlDispatcher being called.\n"
                                    "This may take several seconds.  Please wait.\n");
    EXPECT_FALSE(FileExists(UnitFile()));
    EXPECT_EQ(Calls(), "");
}

TEST_F(ServerSwitchesTest, ConsoleModeEndsOnCtrlCCtrlBreakAndSigterm)
{
    for (const int signo : {SIGINT, SIGQUIT, SIGTERM})
    {
        ServerProcess server;
        ASSERT_TRUE(server.Start()) << server.Log();
        server.Process().Signal(signo);
        int status = -1;
        ASSERT_TRUE(server.Process().Wait(10s, status)) << "signal " << signo;
        EXPECT_EQ(status, 0) << "signal " << signo;
        const std::string log = server.Log();
        EXPECT_NE(log.find(" Debugging Ostrivel Tarvi*Qen Server.\r\n"), std::string::npos);
        EXPECT_NE(log.find(" Stopping Ostrivel Tarvi*Qen Server.\r\n"), std::string::npos);
        // The echo: every line of the file on standard output too.
        EXPECT_EQ(server.Process().Stdout(), log) << "signal " << signo;
    }
}

} // namespace
