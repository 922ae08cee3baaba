// The booth's settings file: whatever it holds, the store opens (setting a
// damaged file aside), answers typed reads and writes a good file again.
// fuzz-links: core
#include "FuzzSupport.h"
#include <nlohmann/json.hpp>
#include "core/UserDefaults.h"

extern "C" int LLVMFuzzerTestOneInput(const std::uint8_t* data, std::size_t size) {
    std::string path = fuzzsupport::freshFile("Flashwren.plist", fuzzsupport::bytes(data, size));
    UserDefaults store(path);
    auto all = store.dictionaryRepresentation();
    if (all.is_object()) {
        for (auto it = all.begin(); it != all.end(); ++it) {
            store.string(it.key());
            store.integer(it.key());
            store.real(it.key());
            store.boolean(it.key());
        }
    }
    store.set("COUNT", 1);
    store.synchronize();
    return 0;
}
