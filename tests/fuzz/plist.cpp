// The property-list reader: Info.plist, the Defaults, both settings stores
// and the crash kit's strings all come through it.
// fuzz-links: base
#include "FuzzSupport.h"
#include <nlohmann/json.hpp>
#include "base/Plist.h"

extern "C" int LLVMFuzzerTestOneInput(const std::uint8_t* data, std::size_t size) {
    auto value = base::plistParse(fuzzsupport::bytes(data, size));
    if (!value) return 0;
    // Whatever was read can be written back in both forms and read again.
    base::plistParse(base::plistToXml(*value));
    base::plistParse(base::plistToBinary(*value));
    return 0;
}
