#include "platform/ServiceManager.h"
#include "ScopedEnv.h"
#include "platform/Process.h"
#include "platform/SignalWatcher.h"
#include "support/TestSupport.h"

#include <gtest/gtest.h>

#include <cerrno>
#include <csignal>
#include <cstring>
#include <sys/socket.h>
#include <sys/stat.h>
#include <sys/un.h>
#include <unistd.h>

namespace
{
TEST(ProcessTest, RunCommandCapturesOutputAndStatus)
{
    std::string output;
    EXPECT_EQ(RunCommand({"sh", "-c", "echo hello; echo to-stderr >&2; exit 3"}, &output), 3);
    EXPECT_EQ(output, "hello\n");
    EXPECT_EQ(RunCommand({"true"}), 0);
    EXPECT_EQ(RunCommand({"/nonexistent/tarviqen-command"}, &output), -1);
    EXPECT_EQ(RunCommand({}), -1);

    // Signals blocked for the signal watcher are not blocked in the child.
    BlockSignals({SIGUSR2});
    EXPECT_EQ(RunCommand({"sh", "-c", "grep SigBlk /proc/self/status"}, &output), 0);
    EXPECT_EQ(output, "SigBlk:\t0000000000000000\n");
}

TEST(ServiceManagerTest, UnitFilesAndSystemctl)
{
    tq_test::TempDir dir;
    ScopedEnv unitDir("TARVIQEN_SYSTEMD_DIR", dir.Path().c_str());
    const std::string script = dir.File("fake-systemctl");
    tq_test::WriteFile(script,
                       "#!/bin/sh\n"
                       "echo \"$@\" >> \"" +
                           dir.File("calls") +
                           "\"\n"
                           "if [ \"$1\" = is-active ]; then echo ' deactivating '; exit 3; fi\n"
                           "exit 0\n");
    ASSERT_EQ(chmod(script.c_str(), 0755), 0);
    ScopedEnv systemctl("TARVIQEN_SYSTEMCTL", script.c_str());

    const ServiceUnit unit{"TarviQenService",
                           "TarviQen Service",
                           "/usr/bin/TarviQenServer",
                           {"TARVIQEN_FOLDER=/var/lib/tarviqen"}};
    int error = 0;
    EXPECT_EQ(CServiceManager::UnitPath(unit.name), dir.Path() + "/TarviQenService.service");
    EXPECT_FALSE(CServiceManager::UnitExists(unit.name));
    ASSERT_TRUE(CServiceManager::WriteUnit(unit, error)) << error;
    EXPECT_EQ(tq_test::ReadFile(CServiceManager::UnitPath(unit.name)),
              "[Unit]\nDescription=TarviQen Service\n\n[Service]\nType=notify\n"
              "ExecStart=/usr/bin/TarviQenServer\nEnvironment=TARVIQEN_FOLDER=/var/lib/tarviqen\n"
              "Restart=on-failure\n\n[Install]\nWantedBy=multi-user.target\n");
    EXPECT_FALSE(CServiceManager::WriteUnit(unit, error));
    EXPECT_EQ(error, EEXIST);

    EXPECT_EQ(CServiceManager::Systemctl({"enable", unit.name}), 0);
    EXPECT_EQ(CServiceManager::ActiveState(unit.name), "deactivating");
    EXPECT_EQ(tq_test::ReadFile(dir.File("calls")),
              "enable TarviQenService\nis-active TarviQenService\n");

    EXPECT_TRUE(CServiceManager::DeleteUnit(unit.name, error));
    EXPECT_FALSE(CServiceManager::UnitExists(unit.name));
    EXPECT_FALSE(CServiceManager::DeleteUnit(unit.name, error));
    EXPECT_EQ(error, ENOENT);
}

TEST(ServiceManagerTest, NotifyWritesToTheNotifySocket)
{
    {
        ScopedEnv unset("NOTIFY_SOCKET", nullptr);
        EXPECT_TRUE(CServiceManager::Notify("READY=1"));
    }
    tq_test::TempDir dir;
    const std::string path = dir.File("notify");
    const int s = socket(AF_UNIX, SOCK_DGRAM | SOCK_CLOEXEC, 0);
    ASSERT_GE(s, 0);
    sockaddr_un address{};
    address.sun_family = AF_UNIX;
    std::strncpy(address.sun_path, path.c_str(), sizeof(address.sun_path) - 1);
    ASSERT_EQ(bind(s, reinterpret_cast<const sockaddr*>(&address), sizeof(address)), 0);
    {
        ScopedEnv notify("NOTIFY_SOCKET", path.c_str());
        EXPECT_TRUE(CServiceManager::Notify("STATUS=running"));
    }
    char buffer[64] = {};
    EXPECT_EQ(recv(s, buffer, sizeof(buffer), MSG_DONTWAIT), 14);
    EXPECT_STREQ(buffer, "STATUS=running");
    close(s);
}
} // namespace
