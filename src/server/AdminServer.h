#pragma once
// What an admin session asks of the server it runs in: the session table and the
// settings that take effect at once.
#include <string>
#include <string_view>

class IAdminServer
{
public:
    // The LIST reply: "0", or the count and one "id;connect;activity;seen" per session.
    virtual std::string GetSessionListText() const = 0;
    virtual bool HasSession(std::string_view clientId) const = 0;
    // The SHOW reply of a session that exists.
    virtual std::string GetSessionStatisticsText(std::string_view clientId) const = 0;
    // Ends a session that exists (its client gets a Close).
    virtual void TerminateSession(std::string_view clientId) = 0;
    // Applies and saves a setting named exactly; false when the value cannot be used.
    virtual bool SetOption(std::string_view name, std::string_view value) = 0;
    // Counts a LOGIN with a wrong password.
    virtual void AdminLoginFailed() = 0;

protected:
    ~IAdminServer() = default;
};
