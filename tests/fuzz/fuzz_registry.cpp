// A registry key file of any bytes: it opens; enumeration and queries agree (each
// name once, the later line of a name that stands twice); setting one value leaves
// every other value as it was, also for a reader that opens the rewritten file; and
// replacing all values with the texts (as the console's server list does) keeps
// exactly those texts in their order.
#include "FuzzSupport.h"

#include "platform/Registry.h"
#include "platform/TextConversion.h"

#include <cstdlib>
#include <filesystem>
#include <map>
#include <string>
#include <utility>
#include <vector>

namespace
{

constexpr const char* KEY_PATH = "Fuzz\\Key";

struct Value
{
    RegistryType type;
    std::vector<uint8_t> data;
    bool operator==(const Value&) const = default;
};

using Values = std::vector<std::pair<std::string, Value>>;

std::string Lower(std::string text)
{
    for (char& c : text)
        c = c >= 'A' && c <= 'Z' ? static_cast<char>(c + 32) : c;
    return text;
}

Values Enumerate(const CRegistryKey& key)
{
    Values values;
    std::map<std::string, int> seen;
    std::string name;
    Value value{};
    for (size_t i = 0; key.EnumValue(i, name, value.type, value.data); ++i)
    {
        std::u16string wideName;
        FUZZ_CHECK(!name.empty() && Utf8ToUtf16Strict(name, wideName));
        FUZZ_CHECK(++seen[Lower(name)] == 1);
        Value queried{};
        FUZZ_CHECK(key.QueryValue(name, queried.type, queried.data));
        FUZZ_CHECK(queried == value);
        // The same value under another spelling of its name.
        FUZZ_CHECK(key.QueryValue(Lower(name), queried.type, queried.data) && queried == value);
        if (value.type == RegistryType::Dword)
            FUZZ_CHECK(value.data.size() == 4);
        uint32_t number = 0;
        FUZZ_CHECK(key.QueryDword(name, number) == (value.data.size() <= 4));
        std::u16string text;
        FUZZ_CHECK(key.QueryString(name, text, 2048) ==
                   (value.data.size() <= 2048 && value.data.size() % 2 == 0));
        values.emplace_back(name, value);
    }
    return values;
}

std::unique_ptr<CRegistryKey> OpenKey()
{
    int error = 0;
    auto key = CRegistryKey::Open(RegistryHive::LocalMachine, KEY_PATH, error);
    FUZZ_CHECK(key != nullptr);
    return key;
}

Values Without(const Values& values, const std::string& a, const std::string& b)
{
    Values rest;
    for (const auto& entry : values)
        if (Lower(entry.first) != Lower(a) && Lower(entry.first) != Lower(b))
            rest.push_back(entry);
    return rest;
}

const Value* Find(const Values& values, const std::string& name)
{
    for (const auto& entry : values)
        if (Lower(entry.first) == Lower(name))
            return &entry.second;
    return nullptr;
}

// Sets a number and a text; the other values stay, in memory and on disk.
void CheckRewrite(const Values& before, std::string_view input)
{
    const std::string numberName = "FuzzNumber";
    const std::string textName = before.empty() || Lower(before.front().first) == "fuzznumber"
                                     ? "FuzzText"
                                     : before.front().first;
    const std::u16string text = Utf8ToUtf16(input.substr(0, 40));
    auto key = OpenKey();
    FUZZ_CHECK(key->SetString(textName, text));
    FUZZ_CHECK(key->SetDword(numberName, static_cast<uint32_t>(input.size())));
    const Values inMemory = Enumerate(*key);
    const Values onDisk = Enumerate(*OpenKey());
    FUZZ_CHECK(onDisk == inMemory);
    FUZZ_CHECK(Without(onDisk, textName, numberName) == Without(before, textName, numberName));
    const Value* number = Find(onDisk, numberName);
    FUZZ_CHECK(number && number->type == RegistryType::Dword);
    const Value* stored = Find(onDisk, textName);
    FUZZ_CHECK(stored && stored->type == RegistryType::String);
    std::u16string readBack;
    FUZZ_CHECK(key->QueryString(textName, readBack, 1u << 20));
    // Only what UTF-8 cannot carry (an unpaired surrogate) comes back changed.
    FUZZ_CHECK(readBack == Utf8ToUtf16(Utf16ToUtf8(text)));
}

void CheckReplaceAll(const Values& before)
{
    std::vector<std::pair<std::string, std::u16string>> texts;
    for (const auto& [name, value] : before)
    {
        if (value.type != RegistryType::String || value.data.size() % 2 != 0)
            continue;
        std::u16string text;
        for (size_t i = 0; i < value.data.size(); i += 2)
            text.push_back(static_cast<char16_t>(value.data[i] | value.data[i + 1] << 8));
        texts.emplace_back(name, text);
    }
    FUZZ_CHECK(OpenKey()->ReplaceAllStrings(texts));
    const Values after = Enumerate(*OpenKey());
    FUZZ_CHECK(after.size() == texts.size());
    for (size_t i = 0; i < after.size(); ++i)
    {
        FUZZ_CHECK(after[i].first == texts[i].first);
        FUZZ_CHECK(after[i].second == Find(before, texts[i].first)[0]);
    }
}

} // namespace

extern "C" int LLVMFuzzerTestOneInput(const uint8_t* data, size_t size)
{
    tq_fuzz::Initialise();
    static const std::string file = []
    {
        setenv("TARVIQEN_REGISTRY", tq_fuzz::ScratchFolder().c_str(), 1);
        const std::string path = CRegistryKey::KeyFilePath(RegistryHive::LocalMachine, KEY_PATH);
        std::filesystem::create_directories(std::filesystem::path(path).parent_path());
        return path;
    }();
    tq_fuzz::WriteWholeFile(file, {data, size});
    const Values before = Enumerate(*OpenKey());
    CheckRewrite(before, tq_fuzz::AsText({data, size}));
    tq_fuzz::WriteWholeFile(file, {data, size});
    CheckReplaceAll(before);
    return 0;
}
