// Changes settings the way a running booth does, for the tests that kill it
// or let it exit:
//   settings_writer <file> burst     settles two keys, then changes keys without
//                                    end; writes "r" to stdout once well under way
//   settings_writer <file> oversize  settles two keys, removes one, waits until
//                                    the removal is on disk, then stores a value
//                                    larger than the caller's file-size limit
//   settings_writer <file> exit      changes a key and exits at once
#include <unistd.h>

#include <nlohmann/json.hpp>

#include <chrono>
#include <string>
#include <thread>

#include "base/Plist.h"
#include "core/UserDefaults.h"

int main(int argc, char** argv) {
    if (argc != 3) return 2;
    const std::string path = argv[1], mode = argv[2];
    // Left alive to the end and reachable, as the standard store is.
    static UserDefaults* const store = new UserDefaults(path);
    if (mode == "exit") {
        store->set("LAST", "kept");
        return 0;
    }
    store->set("SETTLED", "yes");
    store->set("GONE", "soon");
    if (!store->synchronize()) return 3;
    if (mode == "burst") {
        const std::string filler(2000, 'x');
        for (long i = 0;; ++i) {
            store->set("KEY_" + std::to_string(i % 400), filler + std::to_string(i));
            if (i == 2000) (void)!::write(1, "r", 1);
        }
    }
    if (mode != "oversize") return 2;
    // Left to the writer behind the store, as any change is.
    store->remove("GONE");
    const auto deadline = std::chrono::steady_clock::now() + std::chrono::seconds(30);
    for (;;) {
        auto onDisk = base::plistReadFile(path);
        if (onDisk && onDisk->is_object() && !onDisk->contains("GONE")) break;
        if (std::chrono::steady_clock::now() > deadline) return 4;
        std::this_thread::sleep_for(std::chrono::milliseconds(10));
    }
    // The file-size limit ends the process inside this write (SIGXFSZ).
    store->set("BIG", std::string(std::size_t{4} << 20, 'x'));
    store->synchronize();
    return 5;
}
