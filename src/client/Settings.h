#pragma once
// The client's settings file: lines of name=value, comments ("//...") and blank lines
// kept in place, written back as "name=value" CR LF. Held as UTF-8 text and handed
// out as text, numbers, switches or colours.
#include <cstdint>
#include <memory>
#include <optional>
#include <string>
#include <string_view>
#include <vector>

class CSettings
{
public:
    static constexpr int MAX_SETTINGS = 250;
    // A line is read in pieces of at most this many bytes.
    static constexpr size_t LINE_PIECE_SIZE = 510;
    static constexpr size_t MAX_FIELD_LENGTH = 511;

    static CSettings* GetInstance();
    static void DestroyInstance();

    void SetFolder(const std::string& folder);
    const std::string& GetFolder() const { return m_pszFolder; }
    // Reads "<folder>/<filename>"; false if it cannot be opened (the table is unchanged).
    bool Load(const std::string& filename);
    // Writes every slot in order, then the lines that found no slot when loaded; false
    // if the file cannot be created.
    bool Save(const std::string& filename);
    // The value of the first slot with that name, or nullopt.
    std::optional<std::string> GetValue(std::string_view name) const;
    // The value read by the program's rules; a missing setting reads as "", 0, off or
    // black. A number is read as the C library reads a decimal (leading blanks, a
    // sign, digits up to the first other character); a switch is on when its number is
    // not 0; a colour is "red,green,blue" (see IndicatorColor.h).
    std::string GetText(std::string_view name) const;
    int GetNumber(std::string_view name) const;
    bool GetSwitch(std::string_view name) const { return GetNumber(name) != 0; }
    uint32_t GetColor(std::string_view name) const;
    // Replaces the value of an existing setting or appends a slot. False (and a log
    // line) when all 250 slots are taken: the line is ignored.
    bool SetValue(std::string_view name, std::string_view value);
    int GetCount() const { return static_cast<int>(m_names.size()); }

private:
    CSettings() = default;
    // A line that finds no free slot: logged, or written to stderr once while the
    // log has no file yet.
    void ReportOverflow();
    void KeepIfDropped(bool stored, const std::string& line);
    static std::unique_ptr<CSettings> m_pSingleton;

    std::string m_pszFolder;
    std::vector<std::string> m_names;
    std::vector<std::string> m_values;
    bool m_bOverflowReported = false;
    // Lines of the file past the 250 slots, kept as read.
    std::vector<std::string> m_droppedLines;
};
