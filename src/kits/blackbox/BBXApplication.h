#pragma once
// Small application functions the crash kit's parts share.
#include <cstdint>
#include <functional>
#include <optional>
#include <string>

// The information dictionary's "NSExtension" / "NSExtensionPointIdentifier";
// none for an ordinary application (and for a malformed entry, with an SDK
// log line).
std::optional<std::string> BBXApplicationExtensionPointIdentifier();
bool BBXApplicationIsExtension();

// Runs `block` as one piece of work the system should not cut short. Linux
// has no sudden or automatic termination to hold off, so the activity only
// frames the block.
void BBXApplicationActivity(std::uint64_t options, const std::string& reason, const std::function<void()>& block);

// A host-clock mark and the milliseconds elapsed since one.
std::uint64_t BBXProfileMark();
double BBXProfileEndInterval(std::uint64_t mark);
