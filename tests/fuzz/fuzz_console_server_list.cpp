// The console's server list key of any bytes: it loads without harm, and a list that
// is saved and loaded again is the same list (names, addresses, ports, passwords).
#include "FuzzSupport.h"

#include "admin/ServerList.h"
#include "platform/Registry.h"

#include <cstdlib>
#include <filesystem>
#include <string>
#include <tuple>
#include <vector>

namespace
{

using Entry = std::tuple<std::u16string, std::u16string, int, std::u16string>;

std::vector<Entry> Entries(const CServerList& list)
{
    std::vector<Entry> entries;
    for (int i = 0; i < list.getCount(); ++i)
    {
        const CServerDefinition* d = list.getAt(i);
        entries.emplace_back(d->getName(), d->getAddress(), d->getPort(), d->getPassword());
    }
    return entries;
}

} // namespace

extern "C" int LLVMFuzzerTestOneInput(const uint8_t* data, size_t size)
{
    tq_fuzz::Initialise();
    static const std::string file = []
    {
        setenv("TARVIQEN_REGISTRY", tq_fuzz::ScratchFolder().c_str(), 1);
        const std::string path =
            CRegistryKey::KeyFilePath(RegistryHive::CurrentUser, CServerList::REGISTRY_KEY);
        std::filesystem::create_directories(std::filesystem::path(path).parent_path());
        return path;
    }();
    tq_fuzz::WriteWholeFile(file, {data, size});
    CServerList list;
    list.load();
    const std::vector<Entry> loaded = Entries(list);
    // A hand-made value may fit its 512 bytes only without the quotes and port that a
    // save writes; such a list ends at that value when loaded again, as a list with an
    // over-long value does (the server dialog never lets one in).
    for (int i = 0; i < list.getCount(); ++i)
        if (CServerList::FormatValue(*list.getAt(i)).size() * 2 > CServerList::MAX_VALUE_BYTES)
            return 0;
    FUZZ_CHECK(list.save() == 1);
    CServerList again;
    FUZZ_CHECK(again.load() == 1);
    FUZZ_CHECK(Entries(again) == loaded);
    return 0;
}
