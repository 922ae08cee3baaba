// Changes settings as a running booth does, for the test that kills it
// inside a write: settings_writer <file> settles two keys (written by the
// store's own writer), removes one,
// waits until the removal is on disk, then stores a value larger than the
// file-size limit its caller set, which ends it inside that write.
#include <nlohmann/json.hpp>

#include <chrono>
#include <string>

#include "Wait.h"

#include "base/Plist.h"
#include "core/UserDefaults.h"

int main(int argc, char** argv) {
    if (argc != 2) return 2;
    // Left alive to the end and reachable, as the standard store is.
    static UserDefaults* const store = new UserDefaults(argv[1]);
    store->set("SETTLED", "yes");
    store->set("GONE", "soon");
    // Written by the writer behind the store, which then waits for the next
    // change: the removal alone has to wake it.
    const bool settled = testsupport::waitUntil(
        [&] { return base::plistReadFile(argv[1]).value_or(nlohmann::json::object()).contains("GONE"); },
        std::chrono::seconds(30));
    if (!settled) return 3;
    store->remove("GONE");  // left to the writer behind the store, as any change is
    const bool removed = testsupport::waitUntil(
        [&] { return !base::plistReadFile(argv[1]).value_or(nlohmann::json{{"GONE", 1}}).contains("GONE"); },
        std::chrono::seconds(30));
    if (!removed) return 4;
    store->set("BIG", std::string(std::size_t{4} << 20, 'x'));
    store->synchronize();
    return 5;
}
