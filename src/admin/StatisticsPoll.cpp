#include "admin/StatisticsPoll.h"

#include "admin/NextField.h"
#include "admin/ServerConnection.h"
#include "admin/SessionList.h"
#include "platform/TextConversion.h"

namespace
{
// The session ID is read from the view's first column into 100 characters.
constexpr size_t MAX_SESSION_ID_LENGTH = 99;
} // namespace

SessionStatistics SplitStatistics(std::u16string text)
{
    SessionStatistics statistics;
    for (std::u16string& value : statistics.values)
        value = nextField(text, u',');
    statistics.linkQuality = nextField(text, u',');
    return statistics;
}

StatisticsPollResult PollSessionStatistics(CServerConnection& connection, CSessionList& sessions,
                                           std::span<const int> selectedRows)
{
    StatisticsPollResult result;
    if (selectedRows.size() != 1)
        return result;
    if (connection.isBusy())
    {
        result.action = StatisticsPollResult::Skip;
        return result;
    }
    const int row = selectedRows[0];
    const std::u16string sessionId = sessions.getSessionID(row).substr(0, MAX_SESSION_ID_LENGTH);
    // The server ends a command at its CR: an ID that holds one (only a broken server
    // lists such a thing) must not send the rest of it as a command of its own.
    const std::u16string argument = sessionId.substr(0, sessionId.find(u'\r'));
    connection.sendCommand(FormatAdminCommand(AdminWord::SHOW, Utf16ToUtf8(argument)));
    if (connection.waitForReply(false) == 0)
    {
        connection.disconnect();
        sessions.clear();
        result.action = StatisticsPollResult::Disconnected;
        result.message = "Show session failed.";
        return result;
    }
    const std::string& reply = connection.getReply(0);
    if (reply.starts_with("Error"))
    {
        sessions.removeSession(row);
        result.action = StatisticsPollResult::RowRemoved;
        result.message = reply;
        return result;
    }
    std::u16string text = Utf8ToUtf16(reply);
    const std::u16string connectTime = nextField(text, u',');
    const std::u16string lastActivity = nextField(text, u',');
    const std::u16string lastSeen = nextField(text, u',');
    sessions.updateSession(sessionId, connectTime, lastActivity, lastSeen);
    result.action = StatisticsPollResult::Updated;
    result.statistics = SplitStatistics(std::move(text));
    return result;
}
