#pragma once
// Property lists over libplist, held as JSON values: dictionaries, arrays,
// strings, integers, reals and booleans map one to one; data becomes a JSON
// binary value; a date becomes a date value (below), so that it is written
// back as a date.
#include <cstddef>
#include <cstdint>
#include <optional>
#include <string>
#include <string_view>
#include <nlohmann/json_fwd.hpp>

namespace base {

// JSON has no date: a date is a binary value of its own subtype (data never
// carries one) holding the seconds since 1970 as a big-endian IEEE double.
// The binary form keeps that double as it is; XML writes whole seconds
// (rounded down) of the years 1 to 9999. A text holding a NUL is read, and
// written, without it: no property list can carry the character in a text.
inline constexpr std::uint8_t kPlistDateSubtype = 0xD7;
// Null when the seconds are not finite.
nlohmann::json plistDate(double secondsSince1970);
bool plistIsDate(const nlohmann::json& value);
// The seconds since 1970 of a date value; none for anything else.
std::optional<double> plistDateSeconds(const nlohmann::json& value);

// XML or binary property list bytes.
std::optional<nlohmann::json> plistParse(std::string_view bytes);
// The most of a property-list file that is read: settings, defaults and
// queued records are kilobytes, and parsing takes many times a file's size.
inline constexpr std::size_t kPlistReadLimit = std::size_t{32} << 20;
struct ReadFailure;
// A property-list file, read as readFile does; `failure` says why there is
// none ("it is not a property list" when the bytes do not parse).
std::optional<nlohmann::json> plistReadFile(const std::string& path, ReadFailure* failure = nullptr);
std::string plistToXml(const nlohmann::json& value);
std::string plistToBinary(const nlohmann::json& value);

}  // namespace base
