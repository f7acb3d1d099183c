// JSON for the batch's files (a cluster batch's job folder and reports) and
// the command line's output, through nlohmann-json: one compact document a
// line, keys in the order they were set.
#pragma once

#include <nlohmann/json.hpp>
#include <string>
#include <string_view>

namespace vexav::batch {

using Json = nlohmann::ordered_json;

// Text with every byte that is not part of a well-formed UTF-8 sequence
// replaced by U+FFFD (stray continuation bytes, overlong forms, surrogates,
// code points beyond U+10FFFF, sequences cut short), so that any file name
// can go into a JSON string.
std::string ValidUtf8(std::string_view Text);

// True when Text is well-formed UTF-8 (ValidUtf8 would leave it as it is).
bool IsValidUtf8(std::string_view Text);

// A string value made from any bytes (through ValidUtf8).
Json JsonStringValue(std::string_view Text);

// Puts a file name into Object under Key. File names are bytes: one that is
// not well-formed UTF-8 is written with U+FFFD for each bad byte and, so that
// a script can get the exact name back, also under Key + "_hex" as its bytes
// in lower-case hexadecimal. Control characters, quotes and backslashes are
// escaped in the string as JSON has them.
void PutFileName(Json& Object, const std::string& Key, std::string_view Name);
// A number that prints as the shortest text reading back as Value (1.3333334
// rather than the double's 1.3333333730697632); null when not finite.
Json JsonFloat(float Value);

// Value as compact text without a line break.
std::string JsonText(const Json& Value);
// Text as a JSON string literal, quotes included.
std::string JsonString(std::string_view Text);

}  // namespace vexav::batch
