#pragma once
// The logic of the statistics view's 2-second poll: SHOW for the one selected session,
// its three times into the session list, its counters for the view.
#include "tunnel/AdminProtocol.h"

#include <array>
#include <span>
#include <string>
#include <string_view>

class CServerConnection;
class CSessionList;

// Every SHOW counter but the link quality, the last one.
inline constexpr int STATISTICS_ROWS = static_cast<int>(ShowCounterIndex(ShowField::LinkQuality));
inline constexpr std::array<std::u16string_view, STATISTICS_ROWS> STATISTICS_ITEMS = {
    u"Timeouts",
    u"ACK Errors Type 1",
    u"ACK Errors Type 2",
    u"Duplicate Packets",
    u"Out of Synch Packets",
    u"Packets Sent",
    u"Packets Received",
    u"ACKs Sent",
    u"ACKs Received",
    u"Pings",
    u"Data Sent (bytes)",
    u"Data Received (bytes)"};

struct SessionStatistics
{
    // The Value column, row by row, as the server sent them.
    std::array<std::u16string, STATISTICS_ROWS> values;
    // The thirteenth counter, not shown in the list.
    std::u16string linkQuality;
};

// The counters off the front of a text, separated by commas; missing ones are empty.
SessionStatistics SplitStatistics(std::u16string text);

struct StatisticsPollResult
{
    enum Action
    {
        // Not exactly one row selected: clear the statistics view.
        Clear,
        // Another command is waiting for its reply: do nothing this time.
        Skip,
        // No reply: the connection is closed and the session list cleared; reset the
        // title, clear both views and show `message` ("Show session failed.").
        Disconnected,
        // The server no longer knows the session: the row is removed from the session
        // list; redraw the sessions view and show `message` (the server's reply).
        RowRemoved,
        // The row's times are updated: repaint the sessions view and show `statistics`.
        Updated
    };
    Action action = Clear;
    std::string message;
    SessionStatistics statistics;
};

// One tick of the poll, with the rows selected in the sessions view. The window stops
// its timer before and starts it again after, whatever the action.
StatisticsPollResult PollSessionStatistics(CServerConnection& connection, CSessionList& sessions,
                                           std::span<const int> selectedRows);
