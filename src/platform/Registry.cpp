#include "platform/Registry.h"

#include "platform/AtomicFile.h"
#include "platform/ProgramPath.h"
#include "platform/TextConversion.h"

#include <cerrno>
#include <cstdio>
#include <cstring>
#include <filesystem>
#include <pwd.h>
#include <sys/stat.h>
#include <unistd.h>

namespace
{
// ---- UTF-16 data ----------------------------------------------------------------

std::vector<uint8_t> Utf16Bytes(std::u16string_view text)
{
    std::vector<uint8_t> bytes;
    bytes.reserve(text.size() * 2);
    for (const char16_t c : text)
    {
        bytes.push_back(static_cast<uint8_t>(c & 0xFF));
        bytes.push_back(static_cast<uint8_t>(c >> 8));
    }
    return bytes;
}

std::u16string Utf16FromBytes(const std::vector<uint8_t>& bytes)
{
    std::u16string text;
    text.reserve(bytes.size() / 2);
    for (size_t i = 0; i + 1 < bytes.size(); i += 2)
    {
        text.push_back(static_cast<char16_t>(bytes[i] | (bytes[i + 1] << 8)));
    }
    return text;
}

// ---- Line format ----------------------------------------------------------------

std::string Quote(std::string_view text)
{
    std::string out = "\"";
    for (const char c : text)
    {
        switch (c)
        {
        case '\\':
            out += "\\\\";
            break;
        case '"':
            out += "\\\"";
            break;
        case '\n':
            out += "\\n";
            break;
        case '\r':
            out += "\\r";
            break;
        default:
            out.push_back(c);
        }
    }
    out.push_back('"');
    return out;
}

// Reads a quoted string starting at line[pos] (the opening quote); pos ends after
// the closing quote.
bool Unquote(std::string_view line, size_t& pos, std::string& out)
{
    if (pos >= line.size() || line[pos] != '"')
    {
        return false;
    }
    out.clear();
    for (++pos; pos < line.size(); ++pos)
    {
        char c = line[pos];
        if (c == '"')
        {
            ++pos;
            return true;
        }
        if (c == '\\')
        {
            if (++pos == line.size())
            {
                return false;
            }
            switch (line[pos])
            {
            case '\\':
                c = '\\';
                break;
            case '"':
                c = '"';
                break;
            case 'n':
                c = '\n';
                break;
            case 'r':
                c = '\r';
                break;
            default:
                return false;
            }
        }
        out.push_back(c);
    }
    return false;
}

constexpr std::string_view UTF8_BOM = "\xEF\xBB\xBF";

bool OnlySpaceFrom(std::string_view line, size_t pos)
{
    return line.find_first_not_of(" \t", pos) == std::string_view::npos;
}

bool ParseDword(std::string_view digits, uint32_t& value)
{
    digits = digits.substr(0, digits.find_first_of(" \t"));
    if (digits.empty() || digits.size() > 8)
    {
        return false;
    }
    value = 0;
    for (const char c : digits)
    {
        const int digit = c >= '0' && c <= '9'   ? c - '0'
                          : c >= 'a' && c <= 'f' ? c - 'a' + 10
                          : c >= 'A' && c <= 'F' ? c - 'A' + 10
                                                 : -1;
        if (digit < 0)
        {
            return false;
        }
        value = (value << 4) | static_cast<uint32_t>(digit);
    }
    return true;
}

std::vector<uint8_t> DwordBytes(uint32_t value)
{
    return {static_cast<uint8_t>(value), static_cast<uint8_t>(value >> 8),
            static_cast<uint8_t>(value >> 16), static_cast<uint8_t>(value >> 24)};
}

// The value part after '=': dword:xxxxxxxx or "text".
bool ParseData(std::string_view line, size_t pos, RegistryType& type, std::vector<uint8_t>& data)
{
    constexpr std::string_view kDword = "dword:";
    if (line.substr(pos, kDword.size()) == kDword)
    {
        const std::string_view rest = line.substr(pos + kDword.size());
        uint32_t value = 0;
        const size_t end = rest.find_first_of(" \t");
        if (!ParseDword(rest, value) ||
            (end != std::string_view::npos && !OnlySpaceFrom(rest, end)))
        {
            return false;
        }
        type = RegistryType::Dword;
        data = DwordBytes(value);
        return true;
    }
    std::string text;
    std::u16string wide;
    if (!Unquote(line, pos, text) || !OnlySpaceFrom(line, pos) || !Utf8ToUtf16Strict(text, wide))
    {
        return false;
    }
    type = RegistryType::String;
    data = Utf16Bytes(wide);
    return true;
}

// One line of a key file: the value name (left empty for comments and for lines
// whose name cannot be read) and whether the value itself is readable.
bool ParseValueLine(std::string_view line, std::string& name, RegistryType& type,
                    std::vector<uint8_t>& data)
{
    size_t pos = line.find_first_not_of(" \t");
    // The file is UTF-8: a name that is not cannot be read, as two such names could
    // stand for one and the same name to a caller.
    std::u16string wideName;
    if (pos == std::string_view::npos || line[pos] == ';' || !Unquote(line, pos, name) ||
        !Utf8ToUtf16Strict(name, wideName))
    {
        name.clear();
        return false;
    }
    pos = line.find_first_not_of(" \t", pos);
    if (pos == std::string_view::npos || line[pos] != '=')
    {
        return false;
    }
    pos = line.find_first_not_of(" \t", pos + 1);
    return pos != std::string_view::npos && ParseData(line, pos, type, data);
}

// A name that a written line can carry back: not empty, and UTF-8 like the file.
bool UsableName(std::string_view name)
{
    std::u16string wide;
    return !name.empty() && Utf8ToUtf16Strict(name, wide);
}

const char* HiveName(RegistryHive hive)
{
    return hive == RegistryHive::LocalMachine ? "HKEY_LOCAL_MACHINE" : "HKEY_CURRENT_USER";
}

std::string HomeFolder()
{
    if (auto home = GetEnvironment("HOME"))
    {
        return *home;
    }
    const passwd* entry = getpwuid(getuid());
    return entry != nullptr && entry->pw_dir != nullptr ? entry->pw_dir : ".";
}

std::string_view TrimSeparators(std::string_view path)
{
    while (!path.empty() && (path.front() == '\\' || path.front() == '/'))
    {
        path.remove_prefix(1);
    }
    while (!path.empty() && (path.back() == '\\' || path.back() == '/'))
    {
        path.remove_suffix(1);
    }
    return path;
}

// Creates the missing folders of `folder`; with a mode, each one it creates gets
// exactly that mode (whatever the umask), folders that exist stay as they are.
bool CreateFolders(const std::string& folder, int mode, int& error)
{
    std::error_code ec;
    if (mode < 0)
    {
        std::filesystem::create_directories(folder, ec);
        error = ec.value();
        return !ec;
    }
    std::filesystem::path partial;
    for (const auto& part : std::filesystem::path(folder))
    {
        partial /= part;
        if (mkdir(partial.c_str(), static_cast<mode_t>(mode)) == 0)
        {
            if (chmod(partial.c_str(), static_cast<mode_t>(mode)) != 0)
            {
                error = errno;
                return false;
            }
        }
        else if (errno != EEXIST)
        {
            error = errno;
            return false;
        }
    }
    error = 0;
    return true;
}

} // namespace

CRegistryKey::CRegistryKey(RegistryHive hive, std::string filePath)
    : m_filePath(std::move(filePath)),
      m_nFileMode(hive == RegistryHive::CurrentUser ? 0600 : KEEP_FILE_MODE),
      m_nFolderMode(hive == RegistryHive::CurrentUser ? 0700 : -1)
{
}

std::string CRegistryKey::HiveRoot(RegistryHive hive)
{
    if (auto root = GetEnvironment("TARVIQEN_REGISTRY"))
    {
        return *root + "/" + HiveName(hive);
    }
    if (hive == RegistryHive::LocalMachine)
    {
        return std::string("/etc/tarviqen/registry/") + HiveName(hive);
    }
    const std::string config =
        GetEnvironment("XDG_CONFIG_HOME").value_or(HomeFolder() + "/.config");
    return config + "/tarviqen/registry/" + HiveName(hive);
}

std::string CRegistryKey::KeyFilePath(RegistryHive hive, std::string_view path)
{
    std::string relative(TrimSeparators(path));
    for (char& c : relative)
    {
        c = c == '\\' ? '/' : c;
    }
    return HiveRoot(hive) + "/" + relative + ".reg";
}

std::unique_ptr<CRegistryKey> CRegistryKey::Open(RegistryHive hive, std::string_view path,
                                                 int& error)
{
    std::unique_ptr<CRegistryKey> key(new CRegistryKey(hive, KeyFilePath(hive, path)));
    if (!key->Load(error))
    {
        return nullptr;
    }
    return key;
}

std::unique_ptr<CRegistryKey> CRegistryKey::Create(RegistryHive hive, std::string_view path,
                                                   int& error)
{
    std::unique_ptr<CRegistryKey> key(new CRegistryKey(hive, KeyFilePath(hive, path)));
    if (!CreateFolders(std::filesystem::path(key->m_filePath).parent_path(), key->m_nFolderMode,
                       error))
    {
        return nullptr;
    }
    if (key->Load(error))
    {
        return key;
    }
    if (error != ENOENT)
    {
        return nullptr;
    }
    // Another process may create the key at the same moment: then its file is opened.
    const std::string header = std::string("; TarviQen registry key ") + HiveName(hive) + "\\" +
                               std::string(TrimSeparators(path)) + "\n";
    if (!CreateFileAtomically(key->m_filePath, header, error, key->m_nFileMode) && error != EEXIST)
    {
        return nullptr;
    }
    return key->Load(error) ? std::move(key) : nullptr;
}

bool CRegistryKey::Delete(RegistryHive hive, std::string_view path)
{
    const std::string filePath = KeyFilePath(hive, path);
    const bool fileRemoved = unlink(filePath.c_str()) == 0;
    std::error_code ec;
    const std::string folder = filePath.substr(0, filePath.size() - 4);
    const auto removed = std::filesystem::remove_all(folder, ec);
    return !ec && (fileRemoved || removed > 0);
}

bool CRegistryKey::Load(int& error)
{
    std::string content;
    if (!ReadWholeFile(m_filePath, content, error))
    {
        return false;
    }
    if (content.starts_with(UTF8_BOM))
    {
        content.erase(0, UTF8_BOM.size());
    }
    m_entries.clear();
    std::string_view rest = content;
    while (!rest.empty())
    {
        const size_t end = rest.find('\n');
        std::string_view line = rest.substr(0, end);
        rest = end == std::string_view::npos ? std::string_view() : rest.substr(end + 1);
        if (line.ends_with('\r'))
        {
            line.remove_suffix(1);
        }
        Entry entry;
        entry.rawLine = std::string(line);
        entry.readable = ParseValueLine(line, entry.name, entry.type, entry.data);
        m_entries.push_back(std::move(entry));
    }
    error = 0;
    return true;
}

const CRegistryKey::Entry* CRegistryKey::Find(std::string_view name) const
{
    // A name that appears twice: the later line wins, as when a key is imported.
    const Entry* found = nullptr;
    for (const Entry& entry : m_entries)
    {
        if (!entry.name.empty() && EqualsNoCase(entry.name, name))
        {
            found = &entry;
        }
    }
    return found;
}

bool CRegistryKey::QueryValue(std::string_view name, RegistryType& type,
                              std::vector<uint8_t>& data) const
{
    const Entry* entry = Find(name);
    if (entry == nullptr || !entry->readable)
    {
        return false;
    }
    type = entry->type;
    data = entry->data;
    return true;
}

bool CRegistryKey::QueryDword(std::string_view name, uint32_t& value) const
{
    RegistryType type{};
    std::vector<uint8_t> data;
    if (!QueryValue(name, type, data) || data.size() > 4)
    {
        return false;
    }
    value = 0;
    for (size_t i = 0; i < data.size(); ++i)
    {
        value |= static_cast<uint32_t>(data[i]) << (8 * i);
    }
    return true;
}

bool CRegistryKey::QueryString(std::string_view name, std::u16string& value, size_t maxBytes) const
{
    RegistryType type{};
    std::vector<uint8_t> data;
    if (!QueryValue(name, type, data) || data.size() > maxBytes || data.size() % 2 != 0)
    {
        return false;
    }
    value = Utf16FromBytes(data);
    return true;
}

bool CRegistryKey::SetDword(std::string_view name, uint32_t value)
{
    return SetValue(name, RegistryType::Dword, DwordBytes(value));
}

bool CRegistryKey::SetString(std::string_view name, std::u16string_view value)
{
    return SetValue(name, RegistryType::String, Utf16Bytes(value));
}

CRegistryKey::Entry CRegistryKey::MakeEntry(std::string_view name, RegistryType type,
                                            std::vector<uint8_t> data)
{
    Entry entry;
    entry.name = std::string(name);
    entry.readable = true;
    entry.type = type;
    if (type == RegistryType::Dword)
    {
        char digits[9];
        uint32_t value = 0;
        for (size_t i = 0; i < data.size() && i < 4; ++i)
        {
            value |= static_cast<uint32_t>(data[i]) << (8 * i);
        }
        std::snprintf(digits, sizeof(digits), "%08x", value);
        entry.rawLine = Quote(entry.name) + "=dword:" + digits;
    }
    else
    {
        // What is read back is what the file holds (unpaired surrogates become U+FFFD).
        const std::string text = Utf16ToUtf8(Utf16FromBytes(data));
        data = Utf16Bytes(Utf8ToUtf16(text));
        entry.rawLine = Quote(entry.name) + "=" + Quote(text);
    }
    entry.data = std::move(data);
    return entry;
}

bool CRegistryKey::SetValue(std::string_view name, RegistryType type, std::vector<uint8_t> data)
{
    if (!UsableName(name))
    {
        m_nLastError = EINVAL;
        return false;
    }
    // A value set anew keeps the spelling of its name, as the registry does.
    const Entry* existing = Find(name);
    Entry entry = MakeEntry(existing != nullptr ? existing->name : name, type, std::move(data));

    std::vector<Entry> previous = m_entries;
    size_t position = m_entries.size();
    for (size_t i = m_entries.size(); i-- > 0;)
    {
        if (!m_entries[i].name.empty() && EqualsNoCase(m_entries[i].name, name))
        {
            m_entries.erase(m_entries.begin() + static_cast<std::ptrdiff_t>(i));
            position = i;
        }
    }
    m_entries.insert(m_entries.begin() + static_cast<std::ptrdiff_t>(position), std::move(entry));
    if (!WriteFile())
    {
        m_entries = std::move(previous);
        return false;
    }
    return true;
}

bool CRegistryKey::EnumValue(size_t index, std::string& name, RegistryType& type,
                             std::vector<uint8_t>& data) const
{
    size_t found = 0;
    for (const Entry& entry : m_entries)
    {
        if (entry.name.empty() || Find(entry.name) != &entry || !entry.readable)
        {
            continue;
        }
        if (found++ == index)
        {
            name = entry.name;
            type = entry.type;
            data = entry.data;
            return true;
        }
    }
    return false;
}

bool CRegistryKey::ReplaceAllStrings(
    const std::vector<std::pair<std::string, std::u16string>>& values)
{
    std::vector<Entry> entries;
    // The first line names the key, as a created key's file does.
    if (!m_entries.empty() && m_entries.front().name.empty() &&
        m_entries.front().rawLine.starts_with(";"))
    {
        entries.push_back(m_entries.front());
    }
    for (const auto& [name, text] : values)
    {
        if (!UsableName(name))
        {
            m_nLastError = EINVAL;
            return false;
        }
        entries.push_back(MakeEntry(name, RegistryType::String, Utf16Bytes(text)));
    }
    std::swap(entries, m_entries);
    if (!WriteFile())
    {
        m_entries = std::move(entries);
        return false;
    }
    return true;
}

bool CRegistryKey::WriteFile()
{
    std::string content;
    for (const Entry& entry : m_entries)
    {
        content += entry.rawLine;
        // Reading takes one carriage return off a line's end: a kept line that ends
        // in one more (an unreadable value) must not come back as another line.
        content += entry.rawLine.ends_with('\r') ? "\r\n" : "\n";
    }
    // Reading takes one byte order mark off the file's start: a kept first line that
    // begins with one more gets it back, or that line would read differently.
    if (content.starts_with(UTF8_BOM))
    {
        content.insert(0, UTF8_BOM);
    }
    int error = 0;
    if (!WriteFileAtomically(m_filePath, content, error, m_nFileMode))
    {
        m_nLastError = error;
        return false;
    }
    return true;
}
