// The client's settings file: any bytes load without harm into at most 250 slots;
// what Save writes agrees with what GetValue answers, and keeps the lines past a full
// table; and a saved file that holds nothing the format cannot carry back (a quote, a
// second "=", an over-long line, a line ending in a carriage return) loads and saves
// again to the same bytes, and a changed setting survives the round trip.
#include "FuzzSupport.h"

#include "client/Settings.h"

#include <algorithm>
#include <string>
#include <vector>

namespace
{

std::vector<std::string> Lines(const std::string& file)
{
    std::vector<std::string> lines;
    size_t start = 0;
    for (size_t end = file.find('\n'); end != std::string::npos; end = file.find('\n', start))
    {
        lines.push_back(file.substr(start, end - start));
        start = end + 1;
    }
    FUZZ_CHECK(start == file.size()); // every line ends with its line feed
    return lines;
}

// A saved line that Load reads back as the same slot.
bool CarriedBack(const std::string& line)
{
    if (line.size() + 2 > CSettings::LINE_PIECE_SIZE || line.ends_with('\r'))
        return false;
    return line.starts_with("//") ||
           (line.find('"') == std::string::npos && std::count(line.begin(), line.end(), '=') <= 1);
}

std::string SaveAs(const std::string& name)
{
    FUZZ_CHECK(CSettings::GetInstance()->Save(name));
    return tq_fuzz::ReadWholeFile(tq_fuzz::ScratchFolder() + "/" + name);
}

void LoadFresh(const std::string& name)
{
    CSettings::DestroyInstance();
    CSettings::GetInstance()->SetFolder(tq_fuzz::ScratchFolder());
    FUZZ_CHECK(CSettings::GetInstance()->Load(name));
}

} // namespace

extern "C" int LLVMFuzzerTestOneInput(const uint8_t* data, size_t size)
{
    tq_fuzz::Initialise();
    tq_fuzz::WriteWholeFile(tq_fuzz::ScratchFolder() + "/input.txt", {data, size});
    LoadFresh("input.txt");
    CSettings* settings = CSettings::GetInstance();
    const int count = settings->GetCount();
    FUZZ_CHECK(count <= CSettings::MAX_SETTINGS);

    // The slots are written first, in order (a setting is "name=value" CR LF); then
    // the lines of a full table that found no slot, as they were read.
    const std::string saved = SaveAs("saved.txt");
    const std::vector<std::string> lines = Lines(saved);
    FUZZ_CHECK(static_cast<int>(lines.size()) >= count);
    FUZZ_CHECK(static_cast<int>(lines.size()) == count || count == CSettings::MAX_SETTINGS);
    bool carried = true;
    for (size_t index = 0; index < lines.size(); ++index)
    {
        const std::string& raw = lines[index];
        FUZZ_CHECK(raw.ends_with('\r'));
        const std::string line = raw.substr(0, raw.size() - 1);
        carried = carried && CarriedBack(line);
        if (static_cast<int>(index) >= count)
            continue;
        const size_t equals = line.find('=');
        if (line.starts_with("//") || equals == std::string::npos ||
            line.find('=', equals + 1) != std::string::npos)
            continue;
        const auto value = settings->GetValue(line.substr(0, equals));
        FUZZ_CHECK(value && *value == line.substr(equals + 1));
    }
    if (!carried)
    {
        CSettings::DestroyInstance();
        return 0;
    }

    LoadFresh("saved.txt");
    FUZZ_CHECK(CSettings::GetInstance()->GetCount() == count);
    FUZZ_CHECK(SaveAs("again.txt") == saved);
    // The client's one change at run time: the indicator's position.
    if (CSettings::GetInstance()->SetValue("IndicatorXPos", "123"))
    {
        SaveAs("changed.txt");
        LoadFresh("changed.txt");
        FUZZ_CHECK(CSettings::GetInstance()->GetValue("IndicatorXPos") == "123");
    }
    CSettings::DestroyInstance();
    return 0;
}
