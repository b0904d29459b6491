#pragma once
// The console's list of proxy servers, kept in the current user's registry key
// Software\Ostrivel\Ostrivel Tarvi Admin: one text value per server, named after it,
// holding "address",port,"password".
#include "admin/ServerDefinition.h"

#include <memory>
#include <optional>
#include <string>
#include <vector>

class CRegistryKey;

class CServerList
{
public:
    static constexpr const char* REGISTRY_KEY = "Software\\Ostrivel\\Ostrivel Tarvi Admin";
    // What one enumeration step of the load has room for.
    static constexpr size_t MAX_NAME_LENGTH = 255;
    static constexpr size_t MAX_VALUE_BYTES = 512;
    static constexpr const char* NAME_TAKEN = "There is already a server with that name.";

    static CServerList* GetInstance();
    static void DestroyInstance();

    CServerList();
    ~CServerList();
    CServerList(const CServerList&) = delete;
    CServerList& operator=(const CServerList&) = delete;

    // 1 when the key was read to its end, else 0 (also when it does not exist).
    int load();
    // 1 when the key now holds exactly the list, else 0 (the key is then unchanged).
    int save();
    void add(std::unique_ptr<CServerDefinition> definition);
    void removeByName(const std::u16string& name);
    CServerDefinition* findByName(const std::u16string& name) const;
    // No entry has this name, also not in another case: the registry matches value
    // names without regard to case, so such a name would overwrite the other server.
    bool isNameFree(const std::u16string& name) const;
    int getCount() const { return static_cast<int>(m_apServers.size()); }
    CServerDefinition* getAt(int index) const;

    // The Add command after the dialog's OK: appends and saves, or returns the text of
    // the error box when the name is taken (the dialog then opens again).
    std::optional<std::string> addServer(const CServerDefinition& definition);
    // The Edit command after the dialog's OK for the entry named `originalName`.
    std::optional<std::string> editServer(const std::u16string& originalName,
                                          const CServerDefinition& edited);
    // The Remove command: its question, and the removal after the operator said Yes.
    static std::string RemoveQuestion(const std::u16string& name);
    void removeServer(const std::u16string& name);

    // The stored text of a definition: "address",port,"password", with a double quote
    // inside address or password doubled so that it reads back unchanged.
    static std::u16string FormatValue(const CServerDefinition& definition);
    // A definition named `name` from a stored text.
    static CServerDefinition ParseValue(const std::u16string& name, std::u16string value);

private:
    bool isNameFreeExcept(const std::u16string& name, const CServerDefinition* except) const;

    std::vector<std::unique_ptr<CServerDefinition>> m_apServers;
    std::unique_ptr<CRegistryKey> m_hkKey;

    static std::unique_ptr<CServerList> m_pSingleton;
};
