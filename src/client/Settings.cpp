#include "client/Settings.h"

#include "common/Log.h"
#include "common/MyString.h"

#include <cstdio>
#include <fstream>

std::unique_ptr<CSettings> CSettings::m_pSingleton;

namespace
{

constexpr const char* OVERFLOW_TEXT = "Error, settings file has more than 250 lines; line ignored.";
// A colour field of at most 9 characters and its terminator.
constexpr size_t COLOR_FIELD_SIZE = 10;

// A setting has a name that is not empty and does not begin with "//"; everything
// else is a comment or a blank line.
bool IsSettingName(std::string_view name)
{
    return !name.empty() && !name.starts_with("//");
}

// Reads one piece of a line as fgets does: up to and including a line feed, at most
// `limit` bytes. False at the end of the file.
bool ReadLinePiece(std::istream& in, std::string& piece, size_t limit)
{
    piece.clear();
    char c = 0;
    while (piece.size() < limit && in.get(c))
    {
        piece.push_back(c);
        if (c == '\n')
        {
            break;
        }
    }
    return !piece.empty();
}

} // namespace

CSettings* CSettings::GetInstance()
{
    if (!m_pSingleton)
    {
        m_pSingleton.reset(new CSettings());
    }
    return m_pSingleton.get();
}

void CSettings::DestroyInstance()
{
    m_pSingleton.reset();
}

void CSettings::SetFolder(const std::string& folder)
{
    m_pszFolder = folder;
}

bool CSettings::Load(const std::string& filename)
{
    std::ifstream file(m_pszFolder + "/" + filename, std::ios::binary);
    if (!file.is_open())
    {
        return false;
    }
    m_droppedLines.clear();
    std::string line;
    while (ReadLinePiece(file, line, LINE_PIECE_SIZE))
    {
        StripLineEnd(line);
        if (line.starts_with("//"))
        {
            KeepIfDropped(SetValue(line, ""), line);
            continue;
        }
        std::string name;
        std::string value;
        const auto rest = SplitToken(line, '=', name, MAX_FIELD_LENGTH + 1);
        if (rest)
        {
            SplitToken(*rest, '=', value, MAX_FIELD_LENGTH + 1);
        }
        Trim(name);
        Trim(value);
        KeepIfDropped(SetValue(name, value), line);
    }
    return true;
}

void CSettings::KeepIfDropped(bool stored, const std::string& line)
{
    // A line past the table is not read, but a save must not lose it from the file.
    if (!stored)
    {
        m_droppedLines.push_back(line);
    }
}

bool CSettings::Save(const std::string& filename)
{
    std::ofstream file(m_pszFolder + "/" + filename, std::ios::binary | std::ios::trunc);
    if (!file.is_open())
    {
        return false;
    }
    for (size_t i = 0; i < m_names.size(); ++i)
    {
        file << m_names[i];
        if (IsSettingName(m_names[i]))
        {
            file << '=' << m_values[i];
        }
        file << "\r\n";
    }
    for (const std::string& line : m_droppedLines)
    {
        file << line << "\r\n";
    }
    return true;
}

std::optional<std::string> CSettings::GetValue(std::string_view name) const
{
    for (size_t i = 0; i < m_names.size(); ++i)
    {
        if (m_names[i] == name)
        {
            return m_values[i];
        }
    }
    return std::nullopt;
}

std::string CSettings::GetText(std::string_view name) const
{
    return GetValue(name).value_or("");
}

int CSettings::GetNumber(std::string_view name) const
{
    return ReadDecimal(GetText(name));
}

// Each field is read from at most 9 characters, as a decimal number cut to its low 8
// bits; a missing field reads as 0.
uint32_t CSettings::GetColor(std::string_view name) const
{
    const std::u16string wide = Utf8ToUtf16(GetText(name));
    std::optional<std::u16string_view> rest = std::u16string_view(wide);
    uint32_t color = 0;
    for (int shift = 0; shift <= 16; shift += 8)
    {
        std::u16string field;
        rest = rest ? SplitTokenW(*rest, u',', field, COLOR_FIELD_SIZE) : std::nullopt;
        const auto value = static_cast<uint32_t>(rest ? ReadDecimalW(field) : 0);
        color |= (value & 0xFF) << shift;
    }
    return color;
}

bool CSettings::SetValue(std::string_view name, std::string_view value)
{
    if (IsSettingName(name))
    {
        for (size_t i = 0; i < m_names.size(); ++i)
        {
            if (m_names[i] == name)
            {
                m_values[i] = value;
                return true;
            }
        }
    }
    if (m_names.size() >= static_cast<size_t>(MAX_SETTINGS))
    {
        ReportOverflow();
        return false;
    }
    m_names.emplace_back(name);
    m_values.emplace_back(value);
    return true;
}

void CSettings::ReportOverflow()
{
    CLog* log = CLog::GetInstance();
    if (!log->GetFilename().empty())
    {
        log->Print(CLog::LEVEL_ERROR, "%s", OVERFLOW_TEXT);
        return;
    }
    // The settings file is read before the log is opened: say it once on stderr.
    if (!m_bOverflowReported)
    {
        m_bOverflowReported = true;
        std::fprintf(stderr, "%s\n", OVERFLOW_TEXT);
    }
}
