#include "admin/ServerList.h"

#include "admin/NextField.h"
#include "common/Assert.h"
#include "common/MyString.h"
#include "platform/Registry.h"

#include <utility>

std::unique_ptr<CServerList> CServerList::m_pSingleton;

namespace
{
constexpr size_t FIRST_SLOTS = 32;
// The port text is converted from at most this many characters.
constexpr size_t PORT_TEXT_LENGTH = 20;

std::u16string Quoted(const std::u16string& text)
{
    std::u16string quoted = u"\"";
    for (const char16_t c : text)
    {
        quoted.push_back(c);
        if (c == u'"')
            quoted.push_back(c);
    }
    quoted.push_back(u'"');
    return quoted;
}

std::u16string Utf16Text(const std::vector<uint8_t>& data)
{
    std::u16string text;
    for (size_t i = 0; i + 1 < data.size(); i += 2)
        text.push_back(static_cast<char16_t>(data[i] | (data[i + 1] << 8)));
    return text;
}
} // namespace

CServerList* CServerList::GetInstance()
{
    if (!m_pSingleton)
        m_pSingleton = std::make_unique<CServerList>();
    TQ_ASSERT_TEXT(nullptr != m_pSingleton, "NULL != m_pSingleton");
    return m_pSingleton.get();
}

void CServerList::DestroyInstance()
{
    m_pSingleton.reset();
}

CServerList::CServerList() = default;
CServerList::~CServerList() = default;

int CServerList::load()
{
    m_apServers.clear();
    int error = 0;
    m_hkKey = CRegistryKey::Open(RegistryHive::CurrentUser, REGISTRY_KEY, error);
    if (!m_hkKey)
        return 0; // a missing key is an empty list
    bool complete = true;
    std::string name;
    RegistryType type{};
    std::vector<uint8_t> data;
    for (size_t index = 0; m_hkKey->EnumValue(index, name, type, data); ++index)
    {
        const std::u16string wideName = Utf8ToUtf16(name);
        // A name or data longer than the enumeration's room ends the load.
        if (wideName.size() > MAX_NAME_LENGTH || data.size() > MAX_VALUE_BYTES)
        {
            complete = false;
            break;
        }
        // The console writes strings only. Another value read as text could hold
        // characters that no save can store (a lone surrogate), so it is no server.
        if (type != RegistryType::String)
            continue;
        add(std::make_unique<CServerDefinition>(ParseValue(wideName, Utf16Text(data))));
    }
    m_hkKey.reset();
    return complete ? 1 : 0;
}

int CServerList::save()
{
    std::vector<std::pair<std::string, std::u16string>> values;
    for (const auto& server : m_apServers)
        values.emplace_back(Utf16ToUtf8(server->getName()), FormatValue(*server));
    // The whole key is replaced in one atomic write, so a failure (a full disk) keeps
    // the servers stored before instead of leaving an empty key.
    int error = 0;
    m_hkKey = CRegistryKey::Create(RegistryHive::CurrentUser, REGISTRY_KEY, error);
    const bool saved = m_hkKey && m_hkKey->ReplaceAllStrings(values);
    m_hkKey.reset();
    return saved ? 1 : 0;
}

void CServerList::add(std::unique_ptr<CServerDefinition> definition)
{
    TQ_ASSERT_TEXT(nullptr != definition, "NULL != pElement");
    if (m_apServers.size() == m_apServers.capacity())
        m_apServers.reserve(m_apServers.empty() ? FIRST_SLOTS : m_apServers.size() * 2);
    m_apServers.push_back(std::move(definition));
}

void CServerList::removeByName(const std::u16string& name)
{
    for (auto it = m_apServers.begin(); it != m_apServers.end(); ++it)
    {
        if ((*it)->getName() == name)
        {
            m_apServers.erase(it);
            return;
        }
    }
}

CServerDefinition* CServerList::findByName(const std::u16string& name) const
{
    for (const auto& server : m_apServers)
        if (server->getName() == name)
            return server.get();
    return nullptr;
}

bool CServerList::isNameFree(const std::u16string& name) const
{
    return isNameFreeExcept(name, nullptr);
}

bool CServerList::isNameFreeExcept(const std::u16string& name,
                                   const CServerDefinition* except) const
{
    const std::string stored = Utf16ToUtf8(name);
    for (const auto& server : m_apServers)
        if (server.get() != except && EqualsNoCase(Utf16ToUtf8(server->getName()), stored))
            return false;
    return true;
}

CServerDefinition* CServerList::getAt(int index) const
{
    TQ_ASSERT_TEXT(index >= 0 && index < getCount(), "TRUE == isValidIndex( nIndex )");
    return m_apServers[static_cast<size_t>(index)].get();
}

std::optional<std::string> CServerList::addServer(const CServerDefinition& definition)
{
    if (!isNameFree(definition.getName()))
        return NAME_TAKEN;
    add(std::make_unique<CServerDefinition>(definition));
    save();
    return std::nullopt;
}

std::optional<std::string> CServerList::editServer(const std::u16string& originalName,
                                                   const CServerDefinition& edited)
{
    CServerDefinition* listed = findByName(originalName);
    if (listed == nullptr)
        return std::nullopt;
    if (edited.getName() != originalName && !isNameFreeExcept(edited.getName(), listed))
        return NAME_TAKEN;
    *listed = edited;
    save();
    return std::nullopt;
}

std::string CServerList::RemoveQuestion(const std::u16string& name)
{
    return "Are you sure you want to remove " + Utf16ToUtf8(name) + "?";
}

void CServerList::removeServer(const std::u16string& name)
{
    removeByName(name);
    save();
}

std::u16string CServerList::FormatValue(const CServerDefinition& definition)
{
    return Quoted(definition.getAddress()) + u"," +
           Utf8ToUtf16(std::to_string(definition.getPort())) + u"," +
           Quoted(definition.getPassword());
}

CServerDefinition CServerList::ParseValue(const std::u16string& name, std::u16string value)
{
    std::u16string address = nextField(value, u',');
    const std::u16string portText = nextField(value, u',');
    std::u16string password = nextField(value, u',');
    const int port = ReadDecimalW(std::u16string_view(portText).substr(0, PORT_TEXT_LENGTH));
    return CServerDefinition(name, std::move(address), port, std::move(password));
}
