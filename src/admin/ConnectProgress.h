#pragma once
// The logic of the connect progress dialog: it attaches its status line and progress
// bar, starts the connection and steps it on its 50 ms timer; its one button aborts
// the attempt, or closes the dialog once the attempt has failed.
#include <string>

class CServerConnection;
class IProgressOutput;
class IStatusOutput;

class CConnectProgress
{
public:
    static constexpr unsigned TIMER_INTERVAL_MS = 50;
    // LOGIN unanswered for this many ticks (3 s): the dialog says why it may wait.
    static constexpr int LOGIN_NOTE_TICKS = 60;
    static constexpr const char* LOGIN_NOTE =
        "No answer yet: another operator may hold the server's single admin connection.";

    enum Outcome
    {
        Running,
        // Stop the timer and close the dialog with success.
        Succeeded,
        // Stop the timer; the button now reads "Close".
        Failed
    };

    explicit CConnectProgress(CServerConnection& connection) : m_connection(connection) {}

    // "Connecting to <name>", for the server given to the connection.
    std::string title() const;
    // When the dialog opens (then its timer starts).
    void open(IStatusOutput* status, IProgressOutput* progress);
    // One timer tick.
    Outcome tick();
    // Since the last tick LOGIN has waited LOGIN_NOTE_TICKS: show LOGIN_NOTE.
    bool showLoginNote() const { return m_nLoginTicks == LOGIN_NOTE_TICKS; }
    // "Abort" while the attempt runs, "Close" after it failed.
    const char* buttonText() const { return m_bFailed ? "Close" : "Abort"; }
    // The button, the Escape key and the close box: true when the dialog closes now
    // (without success); while the attempt runs it is aborted at the next tick.
    bool cancel();

private:
    CServerConnection& m_connection;
    bool m_bFailed = false;
    int m_nLoginTicks = 0;
};
