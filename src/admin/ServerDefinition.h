#pragma once
// One server in the console's list: its display name and how to reach and log in to
// its admin port. Copies are deep (the connection and open dialogs keep their own).
#include <string>

class CServerDefinition
{
public:
    static constexpr int DEFAULT_PORT = 7000;

    CServerDefinition() = default;
    CServerDefinition(std::u16string name, std::u16string address, int port,
                      std::u16string password)
        : m_strName(std::move(name)), m_strAddress(std::move(address)), m_nPort(port),
          m_strPassword(std::move(password))
    {
    }

    const std::u16string& getName() const { return m_strName; }
    const std::u16string& getAddress() const { return m_strAddress; }
    int getPort() const { return m_nPort; }
    const std::u16string& getPassword() const { return m_strPassword; }
    void setName(std::u16string name) { m_strName = std::move(name); }
    void setAddress(std::u16string address) { m_strAddress = std::move(address); }
    void setPort(int port) { m_nPort = port; }
    void setPassword(std::u16string password) { m_strPassword = std::move(password); }

    bool operator==(const CServerDefinition&) const = default;

private:
    std::u16string m_strName;
    std::u16string m_strAddress;
    int m_nPort = DEFAULT_PORT;
    std::u16string m_strPassword;
};
