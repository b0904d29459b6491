// The main window's logic without a window: command rules, the command line, the
// graphs' history and the temporary log file names.
#include "admin/AdminCommandLine.h"
#include "admin/CommandRules.h"
#include "admin/StatisticsHistory.h"
#include "platform/TempFile.h"
#include "support/TestSupport.h"

#include <gtest/gtest.h>

#include <regex>

#include <sys/stat.h>

using namespace tq_test;

namespace
{

constexpr AdminCommand SERVER_COMMANDS[] = {
    AdminCommand::Connect,  AdminCommand::Disconnect, AdminCommand::Edit,      AdminCommand::Remove,
    AdminCommand::ClearLog, AdminCommand::ViewLog,    AdminCommand::Properties};

TEST(CommandRulesTest, MenuBarBeforeAndAfterConnecting)
{
    const ConsoleState nothing{false, false};
    const ConsoleState selected{false, true};
    const ConsoleState connected{true, true};
    const ConsoleState connectedNoSelection{true, false};
    for (const AdminCommand command :
         {AdminCommand::Connect, AdminCommand::Edit, AdminCommand::Remove})
    {
        EXPECT_FALSE(IsCommandEnabled(command, nothing));
        EXPECT_TRUE(IsCommandEnabled(command, selected));
        EXPECT_FALSE(IsCommandEnabled(command, connected));
    }
    EXPECT_TRUE(IsCommandEnabled(AdminCommand::Add, nothing));
    EXPECT_FALSE(IsCommandEnabled(AdminCommand::Add, connected));
    for (const AdminCommand command :
         {AdminCommand::Disconnect, AdminCommand::ClearLog, AdminCommand::ViewLog,
          AdminCommand::Properties, AdminCommand::Refresh})
    {
        EXPECT_FALSE(IsCommandEnabled(command, selected));
        EXPECT_TRUE(IsCommandEnabled(command, connected));
        // Properties and the others follow the connection, not the selection.
        EXPECT_TRUE(IsCommandEnabled(command, connectedNoSelection));
    }
    for (const AdminCommand command :
         {AdminCommand::Terminate, AdminCommand::About, AdminCommand::Exit})
        EXPECT_TRUE(IsCommandEnabled(command, nothing) && IsCommandEnabled(command, connected));
}

TEST(CommandRulesTest, ServerItemMenu)
{
    // Not connected: Connect, Edit and Remove on any item.
    for (const AdminCommand command : SERVER_COMMANDS)
    {
        const bool expected = command == AdminCommand::Connect || command == AdminCommand::Edit ||
                              command == AdminCommand::Remove;
        EXPECT_EQ(IsServerItemCommandEnabled(command, false, u"A", u""), expected);
    }
    // Connected to A: A's item offers the connection's commands, B's item nothing; the
    // names are compared exactly.
    for (const AdminCommand command : SERVER_COMMANDS)
    {
        const bool connectionCommand = command != AdminCommand::Connect &&
                                       command != AdminCommand::Edit &&
                                       command != AdminCommand::Remove;
        EXPECT_EQ(IsServerItemCommandEnabled(command, true, u"A", u"A"), connectionCommand);
        EXPECT_FALSE(IsServerItemCommandEnabled(command, true, u"B", u"A"));
        EXPECT_FALSE(IsServerItemCommandEnabled(command, true, u"a", u"A"));
    }
    EXPECT_STREQ(CommandPrompt(AdminCommand::Refresh), "Refreshes the session list.");
    EXPECT_STREQ(CommandPrompt(AdminCommand::Add), "Add a new server definition");
}

TEST(AdminCommandLineTest, OptionsAndErrors)
{
    EXPECT_EQ(ParseAdminCommandLine({}).action, AdminCommandLine::Run);
    EXPECT_EQ(ParseAdminCommandLine({"--help"}).action, AdminCommandLine::Help);
    EXPECT_EQ(ParseAdminCommandLine({"-h"}).action, AdminCommandLine::Help);
    const AdminCommandLine connect = ParseAdminCommandLine({"--connect", "Depot 2"});
    EXPECT_EQ(connect.action, AdminCommandLine::Run);
    EXPECT_EQ(connect.connectName, "Depot 2");
    const AdminCommandLine icon = ParseAdminCommandLine({"--export-icon", "48", "a.png"});
    EXPECT_EQ(icon.action, AdminCommandLine::ExportIcon);
    EXPECT_EQ(icon.iconSize, 48);
    EXPECT_EQ(icon.iconPath, "a.png");
    EXPECT_EQ(ParseAdminCommandLine({"--help", "--export-icon", "48", "a.png"}).action,
              AdminCommandLine::Help);

    const std::vector<std::vector<std::string>> invalid = {{"--connect"},
                                                           {"--connect", ""},
                                                           {"--export-icon", "48"},
                                                           {"--export-icon", "0", "a.png"},
                                                           {"--export-icon", "4096", "a.png"},
                                                           {"--export-icon", "48px", "a.png"},
                                                           {"--bogus"},
                                                           {"Depot"},
                                                           {"-platform"}};
    for (const auto& arguments : invalid)
    {
        const AdminCommandLine line = ParseAdminCommandLine(arguments);
        EXPECT_EQ(line.action, AdminCommandLine::Invalid) << arguments[0];
        EXPECT_FALSE(line.error.empty());
    }
    EXPECT_EQ(ParseAdminCommandLine({"--bogus"}).error, "Unknown option: --bogus");
    EXPECT_NE(AdminUsage().find("--connect NAME"), std::string::npos);
}

SessionStatistics Counters(const std::u16string& quality, const std::u16string& sent,
                           const std::u16string& received)
{
    SessionStatistics statistics;
    statistics.values[10] = sent;
    statistics.values[11] = received;
    statistics.linkQuality = quality;
    return statistics;
}

TEST(StatisticsHistoryTest, RatesBetweenPolls)
{
    CStatisticsHistory history;
    EXPECT_TRUE(history.empty());
    history.addPoll(u"1.2.3.4:5", u"t0", Counters(u"80", u"1000", u"500"), 10000);
    ASSERT_EQ(history.linkQuality().size(), 1u);
    EXPECT_TRUE(history.sentRate().empty()); // a rate needs two polls
    history.addPoll(u"1.2.3.4:5", u"t0", Counters(u"85", u"5000", u"1500"), 12000);
    ASSERT_EQ(history.sentRate().size(), 1u);
    EXPECT_DOUBLE_EQ(history.sentRate().back().value, 2000.0);
    EXPECT_DOUBLE_EQ(history.receivedRate().back().value, 500.0);
    EXPECT_EQ(history.newestTick(), 12000u);
    // The same tick again adds nothing; a field without a number leaves a gap.
    history.addPoll(u"1.2.3.4:5", u"t0", Counters(u"90", u"9000", u"1500"), 12000);
    EXPECT_EQ(history.linkQuality().size(), 2u);
    history.addPoll(u"1.2.3.4:5", u"t0", Counters(u"x", u"", u"2500"), 14000);
    EXPECT_EQ(history.linkQuality().size(), 2u);
    EXPECT_EQ(history.sentRate().size(), 1u);
    EXPECT_DOUBLE_EQ(history.receivedRate().back().value, 500.0);
    history.addPoll(u"1.2.3.4:5", u"t0", Counters(u"90", u"6000", u"2500"), 16000);
    EXPECT_EQ(history.sentRate().size(), 1u); // no previous value to compare with
}

TEST(StatisticsHistoryTest, WrappedCountersAndTicks)
{
    CStatisticsHistory history;
    // A counter that passed 2^31 prints negative; the tick count wraps at 2^32.
    history.addPoll(u"s", u"t", Counters(u"100", u"2147483000", u"0"), 0xFFFFFC18u);
    history.addPoll(u"s", u"t", Counters(u"100", u"-2147483296", u"0"), 0x000003E8u);
    ASSERT_EQ(history.sentRate().size(), 1u);
    EXPECT_DOUBLE_EQ(history.sentRate().back().value, 500.0);
    EXPECT_EQ(history.linkQuality().size(), 2u);
    // A counter that went back starts afresh instead of drawing a huge rate.
    history.addPoll(u"s", u"t", Counters(u"100", u"2147482000", u"0"), 0x00000BB8u);
    EXPECT_EQ(history.sentRate().size(), 1u);
    history.addPoll(u"s", u"t", Counters(u"100", u"2147483000", u"0"), 0x00000FA0u);
    ASSERT_EQ(history.sentRate().size(), 2u);
    EXPECT_DOUBLE_EQ(history.sentRate().back().value, 1000.0);
}

TEST(StatisticsHistoryTest, AnotherSessionAndTheFiveMinuteSpan)
{
    CStatisticsHistory history;
    for (uint32_t poll = 0; poll <= 200; ++poll)
        history.addPoll(u"s", u"t", Counters(u"100", std::u16string(u"1") + u"000", u"0"),
                        poll * 2000);
    // 300 s of polls 2 s apart, both ends included.
    EXPECT_EQ(history.linkQuality().size(), 151u);
    EXPECT_EQ(history.linkQuality().front().tick, 400000u - CStatisticsHistory::SPAN_MS);
    // The same client ID with another connect time is another session.
    history.addPoll(u"s", u"t2", Counters(u"40", u"5", u"5"), 402000);
    EXPECT_EQ(history.linkQuality().size(), 1u);
    EXPECT_TRUE(history.sentRate().empty());
    history.addPoll(u"other", u"t2", Counters(u"40", u"5", u"5"), 404000);
    EXPECT_EQ(history.linkQuality().size(), 1u);
    history.clear();
    EXPECT_TRUE(history.empty());
}

TEST(TempFileTest, NamesCountUpFromTheSeed)
{
    TempDir dir;
    std::string path;
    int error = 0;
    ASSERT_TRUE(CreateTempFile(dir.Path(), "TQ1", 0xABCD, path, error));
    EXPECT_EQ(path, dir.File("TQ1ABCD.tmp"));
    ASSERT_TRUE(CreateTempFile(dir.Path() + "/", "TQ1", 0xABCD, path, error));
    EXPECT_EQ(path, dir.File("TQ1ABCE.tmp"));
    // 0000 is never used; FFFF wraps to 0001.
    ASSERT_TRUE(CreateTempFile(dir.Path(), "TQ1", 0, path, error));
    EXPECT_EQ(path, dir.File("TQ10001.tmp"));
    ASSERT_TRUE(CreateTempFile(dir.Path(), "TQ1", 0xFFFF, path, error));
    ASSERT_TRUE(CreateTempFile(dir.Path(), "TQ1", 0xFFFF, path, error));
    EXPECT_EQ(path, dir.File("TQ10002.tmp"));
    struct stat info
    {
    };
    ASSERT_EQ(stat(path.c_str(), &info), 0);
    EXPECT_EQ(info.st_mode & 0777, 0600u);
    EXPECT_EQ(info.st_size, 0);

    EXPECT_FALSE(CreateTempFile(dir.File("missing"), "TQ1", 1, path, error));
    EXPECT_EQ(error, ENOENT);
}

} // namespace
