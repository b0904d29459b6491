#pragma once
// The registry as a file-backed store: one UTF-8 text file per key, one value per
// line ("Name"=dword:0000001b or "Name"="text"), value names matched without regard
// to case. Every write replaces the file atomically.
#include <cstdint>
#include <memory>
#include <string>
#include <string_view>
#include <utility>
#include <vector>

enum class RegistryHive
{
    LocalMachine,
    CurrentUser
};

enum class RegistryType : uint32_t
{
    String = 1, // REG_SZ: UTF-16 characters without a terminating zero
    Dword = 4
};

class CRegistryKey
{
public:
    // Opens an existing key; null (and `error` set to an errno value) if it is missing
    // or unreadable.
    static std::unique_ptr<CRegistryKey> Open(RegistryHive hive, std::string_view path, int& error);
    // Opens the key, creating its file and folders when missing.
    static std::unique_ptr<CRegistryKey> Create(RegistryHive hive, std::string_view path,
                                                int& error);
    // Removes the key's file and the folder of its subkeys.
    static bool Delete(RegistryHive hive, std::string_view path);
    // The root folder of a hive ($TARVIQEN_REGISTRY/<hive> when that is set).
    static std::string HiveRoot(RegistryHive hive);
    // The key's file: the path with '\' as '/' and ".reg" appended under the hive root.
    static std::string KeyFilePath(RegistryHive hive, std::string_view path);

    // Raw value data as the registry returns it: a dword is 4 bytes little-endian, a
    // text its UTF-16LE bytes. False when the value is missing or its line is corrupt.
    bool QueryValue(std::string_view name, RegistryType& type, std::vector<uint8_t>& data) const;
    // A number: at most 4 bytes of data (fewer are zero-extended).
    bool QueryDword(std::string_view name, uint32_t& value) const;
    // A text of at most maxBytes bytes of UTF-16 data.
    bool QueryString(std::string_view name, std::u16string& value, size_t maxBytes) const;
    bool SetDword(std::string_view name, uint32_t value);
    bool SetString(std::string_view name, std::u16string_view value);
    // The index-th value in file order, as RegEnumValue reports it: its name and raw
    // data. Unreadable lines are no values, and a name that stands twice counts once,
    // at its later line (the one QueryValue reads). False when there is no such value.
    bool EnumValue(size_t index, std::string& name, RegistryType& type,
                   std::vector<uint8_t>& data) const;
    // Replaces everything the key holds with these text values, in this order, in one
    // atomic write: a failure leaves the key as it was.
    bool ReplaceAllStrings(const std::vector<std::pair<std::string, std::u16string>>& values);
    // errno of the last failed write.
    int LastError() const { return m_nLastError; }
    const std::string& FilePath() const { return m_filePath; }

private:
    struct Entry
    {
        std::string name; // empty for a line that is kept as it was read
        bool readable = false;
        RegistryType type = RegistryType::String;
        std::vector<uint8_t> data;
        std::string rawLine;
    };
    CRegistryKey(RegistryHive hive, std::string filePath);
    bool Load(int& error);
    bool SetValue(std::string_view name, RegistryType type, std::vector<uint8_t> data);
    bool WriteFile();
    const Entry* Find(std::string_view name) const;
    static Entry MakeEntry(std::string_view name, RegistryType type, std::vector<uint8_t> data);

    std::string m_filePath;
    // The current user's keys hold passwords: files 0600, folders 0700.
    int m_nFileMode;
    int m_nFolderMode;
    std::vector<Entry> m_entries;
    int m_nLastError = 0;
};
