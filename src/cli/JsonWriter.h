// Writing JSON text: one compact document (no line breaks) built value by
// value, for output that other programs read line by line.
#pragma once

#include <cstdint>
#include <string>
#include <string_view>
#include <vector>

namespace vexav::cli {

// Appends Text as a JSON string literal, quotes included. Quotes,
// backslashes and control characters are escaped; well-formed UTF-8 passes
// through unchanged, and each byte that is not part of a well-formed UTF-8
// sequence becomes U+FFFD, so the result is always valid JSON.
void AppendJsonString(std::string& Out, std::string_view Text);
std::string JsonString(std::string_view Text);

class JsonWriter {
 public:
  JsonWriter& BeginObject();
  JsonWriter& EndObject();
  JsonWriter& BeginArray();
  JsonWriter& EndArray();
  // The name of the next member of the open object.
  JsonWriter& Key(std::string_view Name);
  JsonWriter& String(std::string_view Value);
  JsonWriter& Int(int64_t Value);
  // Shortest text that reads back as the same number; null when not finite.
  JsonWriter& Float(float Value);
  JsonWriter& Double(double Value);
  JsonWriter& Bool(bool Value);
  JsonWriter& Null();

  const std::string& Text() const { return Out; }

 private:
  // Puts the comma in front of a value or key when it is not the first one
  // of its object or array.
  void Separate();
  void Raw(std::string_view Token);

  std::string Out;
  // One entry per open object or array: whether it has members yet.
  std::vector<bool> HasMembers;
  bool AfterKey = false;
};

}  // namespace vexav::cli
