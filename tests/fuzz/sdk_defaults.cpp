// The SDK core's defaults store, read back from its property-list file.
// fuzz-links: trellis
#include "FuzzSupport.h"
#include "kits/trellis/BBXUserDefaults.h"

extern "C" int LLVMFuzzerTestOneInput(const std::uint8_t* data, std::size_t size) {
    fuzzsupport::freshFile("BBXUserDefaults.plist", fuzzsupport::bytes(data, size));
    BBXUserDefaults store(fuzzsupport::scratch());
    auto all = store.dictionaryRepresentation();
    if (all.is_object()) {
        for (auto it = all.begin(); it != all.end(); ++it) {
            store.objectForKey(it.key());
            store.stringForKey(it.key());
            store.boolForKey(it.key());
        }
    }
    store.setString(std::string("v"), "k");
    store.synchronize();
    return 0;
}
