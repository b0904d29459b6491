// The real server killed (SIGKILL) at random moments while an operator sends SET
// after SET: after each kill the settings key must be complete and readable, each
// setting holding the value of its last acknowledged SET or of the SET in flight,
// and the restarted server must load it and answer with those values.
#include "platform/Registry.h"
#include "platform/ScopedEnv.h"
#include "platform/TextConversion.h"
#include "support/AdminClient.h"
#include "support/ServerProcess.h"

#include <gtest/gtest.h>

#include <csignal>
#include <cstdlib>
#include <filesystem>
#include <iostream>
#include <map>
#include <optional>
#include <random>
#include <set>
#include <thread>

using namespace tq_test;
using namespace std::chrono_literals;

namespace
{

constexpr int ROUNDS = 30;
constexpr const char* KEY_PATH = "SOFTWARE\\Ostrivel\\TarviQenServer";

using Settings = std::map<std::string, std::string>;

// What GET answers for each setting; the ports are left alone.
Settings ReadKeyFile(const ServerProcess& server, std::string& problem)
{
    const ScopedEnv registry("TARVIQEN_REGISTRY", server.RegistryDir().c_str());
    int error = 0;
    const auto key = CRegistryKey::Open(RegistryHive::LocalMachine, KEY_PATH, error);
    if (!key)
    {
        problem = "the key cannot be opened: errno " + std::to_string(error);
        return {};
    }
    Settings settings;
    std::string name;
    RegistryType type{};
    std::vector<uint8_t> data;
    for (size_t i = 0; key->EnumValue(i, name, type, data); ++i)
    {
        if (type == RegistryType::Dword && data.size() == 4)
            settings[name] =
                std::to_string(static_cast<int>(data[0] | data[1] << 8 | data[2] << 16 |
                                                static_cast<uint32_t>(data[3]) << 24));
        else
        {
            std::u16string text;
            key->QueryString(name, text, 2048);
            settings[name] = Utf16ToUtf8(text);
        }
    }
    // Every line of the file is a value: nothing cut off, nothing unreadable.
    const std::string content = ReadFile(server.RegistryFile());
    const auto lines = std::count(content.begin(), content.end(), '\n');
    if (settings.size() != 7 || lines != 7 || !content.ends_with('\n'))
        problem = "not 7 complete values:\n" + content;
    return settings;
}

class CrashDuringSet
{
public:
    CrashDuringSet() : m_random(Seed())
    {
        m_acknowledged = {{"ClientIdleDisconnect", "0"},
                          {"MaxLogLines", "10000"},
                          {"LogLevel", "2"},
                          {"LogFile", m_server.LogPath()},
                          {"AdminPassword", "5318"}};
    }

    static unsigned Seed()
    {
        static const unsigned seed = []
        {
            const char* text = std::getenv("TQ_CRASH_SEED");
            const unsigned value = text ? static_cast<unsigned>(std::strtoul(text, nullptr, 10))
                                        : std::random_device()();
            std::cout << "Crash test seed (TQ_CRASH_SEED): " << value << std::endl;
            return value;
        }();
        return seed;
    }

    ServerProcess& Server() { return m_server; }

    // Sends SETs until the server dies under them; SIGKILL comes from another thread
    // after a random delay.
    void SetUntilKilled()
    {
        auto admin = Login();
        ASSERT_TRUE(admin);
        const pid_t pid = m_server.Process().Pid();
        const auto delay = std::chrono::microseconds(
            std::uniform_int_distribution<int>(0, 300000)(m_random));
        std::thread killer(
            [pid, delay]
            {
                std::this_thread::sleep_for(delay);
                kill(pid, SIGKILL);
            });
        m_inFlight.reset();
        for (int sets = 0; sets < 100000; ++sets)
        {
            const auto [name, value] = NextSet();
            m_inFlight = {name, value};
            admin->Send("SET " + name + "=" + value + "\r");
            const std::string reply = admin->ReadReply(10s);
            if (reply.empty())
                break; // the server is gone
            ASSERT_EQ(reply, "{OK}") << "SET " << name << "=" << value;
            m_acknowledged[name] = value;
            m_inFlight.reset();
            ++m_nSets;
        }
        killer.join();
        int status = 0;
        ASSERT_TRUE(m_server.Process().Wait(10s, status));
        EXPECT_EQ(status, 128 + SIGKILL);
    }

    // The key after the kill: complete, and each setting old or new.
    void CheckKey()
    {
        std::string problem;
        const Settings stored = ReadKeyFile(m_server, problem);
        ASSERT_TRUE(problem.empty()) << problem;
        for (const auto& [name, value] : m_acknowledged)
        {
            const bool inFlight = m_inFlight && m_inFlight->first == name;
            EXPECT_TRUE(stored.at(name) == value ||
                        (inFlight && stored.at(name) == m_inFlight->second))
                << name << " holds " << stored.at(name) << ", acknowledged " << value;
        }
        // What the server now starts with.
        for (const auto& [name, value] : m_acknowledged)
            m_acknowledged[name] = stored.at(name);
    }

    // The restarted server loads the key and answers GET with its values.
    void RestartAndCompare()
    {
        WriteFile(m_server.LogPath(), "");
        ASSERT_TRUE(m_server.Start()) << m_server.Log();
        auto admin = Login();
        ASSERT_TRUE(admin);
        for (const auto& [name, value] : m_acknowledged)
            EXPECT_EQ(admin->Command("GET " + name), "{" + value + "}") << name;
    }

    int Sets() const { return m_nSets; }

private:
    std::unique_ptr<AdminClient> Login()
    {
        auto admin = std::make_unique<AdminClient>(m_server.AdminPort());
        if (!admin->Connected() ||
            admin->Command("LOGIN " + m_acknowledged.at("AdminPassword")) != "{OK}")
            return nullptr;
        return admin;
    }

    // A new value for a random setting. LogLevel stays 2 or 3 (the start line is an
    // Info line); LogFile names the same file in two spellings.
    std::pair<std::string, std::string> NextSet()
    {
        const int number = std::uniform_int_distribution<int>(1, 1000000)(m_random);
        switch (number % 5)
        {
        case 0:
            return {"ClientIdleDisconnect", std::to_string(number)};
        case 1:
            return {"MaxLogLines", std::to_string(1000 + number)};
        case 2:
            return {"LogLevel", std::to_string(2 + number % 2)};
        case 3:
            return {"LogFile", number % 2 ? m_server.LogPath() : m_server.Dir().Path() + "/./server.log"};
        default:
            return {"AdminPassword", "pw" + std::to_string(number)};
        }
    }

    ServerProcess m_server{ServerOptions{.logLevel = 2}};
    std::mt19937 m_random;
    Settings m_acknowledged;
    std::optional<std::pair<std::string, std::string>> m_inFlight;
    int m_nSets = 0;
};

} // namespace

TEST(CrashDuringSet, EveryRestartLoadsACompleteKeyWithOldOrNewValues)
{
    CrashDuringSet test;
    ASSERT_TRUE(test.Server().Start()) << test.Server().Log();
    for (int round = 0; round < ROUNDS; ++round)
    {
        SCOPED_TRACE("round " + std::to_string(round) + ", seed " +
                     std::to_string(CrashDuringSet::Seed()));
        ASSERT_NO_FATAL_FAILURE(test.SetUntilKilled());
        ASSERT_NO_FATAL_FAILURE(test.CheckKey());
        ASSERT_NO_FATAL_FAILURE(test.RestartAndCompare());
    }
    // A kill during a write leaves its temporary file; none of them is ever read.
    size_t leftovers = 0;
    for (const auto& entry : std::filesystem::directory_iterator(
             std::filesystem::path(test.Server().RegistryFile()).parent_path()))
        leftovers += entry.path().filename() != "TarviQenServer.reg";
    std::cout << ROUNDS << " kills after " << test.Sets() << " acknowledged SETs; "
              << leftovers << " temporary files left by kills" << std::endl;
}
