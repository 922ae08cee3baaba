#pragma once
// What the SDK core knows of a kit. Kits register a descriptor under their
// class name ("Blackbox", "Tally", "Beacon") before the SDK starts, in place
// of looking classes up by name at run time:
//
//     TRLKitRegistry::registerKit(Tally::kitDescriptor());
//     TRLKitRegistry::registerKit(Blackbox::kitDescriptor());
//     Trellis::with({"Blackbox"});   // starts Blackbox, then Tally
#include <functional>
#include <optional>
#include <string>
#include <vector>

struct TRLKitDescriptor {
    std::string className;

    // A kit of the current protocol: both identity functions are required;
    // `initializeIfNeeded` is optional and runs when the SDK starts the kit.
    bool conformsToTRLKit = true;
    std::function<std::string()> bundleIdentifier;
    std::function<std::string()> kitDisplayVersion;
    std::function<std::optional<std::string>()> kitBuildVersion;
    std::function<void()> initializeIfNeeded;

    // An older kit: reached through its shared instance, which must answer
    // all three operations.
    struct LegacyInstance {
        std::function<void()> start;
        std::function<std::string()> bundleIdentifier;
        std::function<std::string()> version;
    };
    std::optional<LegacyInstance> sharedInstance;

    bool isValidTRLKit() const { return conformsToTRLKit && bundleIdentifier && kitDisplayVersion; }
    bool isValidLegacyKit() const {
        return sharedInstance && sharedInstance->start && sharedInstance->bundleIdentifier && sharedInstance->version;
    }
};

class TRLKitRegistry {
public:
    // Replaces a descriptor registered under the same class name.
    static void registerKit(TRLKitDescriptor descriptor);
    static void unregisterKit(const std::string& className);
    static std::optional<TRLKitDescriptor> kitNamed(const std::string& className);
    static std::vector<std::string> registeredClassNames();
};
