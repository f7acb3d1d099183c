#include "cli/JsonWriter.h"

#include <charconv>
#include <cmath>

namespace vexav::cli {
namespace {

constexpr std::string_view Replacement = "\xEF\xBF\xBD";  // U+FFFD in UTF-8

// The length of the well-formed UTF-8 sequence at Text[Pos], or 0 when the
// byte there does not start one (stray continuation byte, overlong form,
// surrogate, beyond U+10FFFF or cut short).
std::size_t Utf8SequenceLength(std::string_view Text, std::size_t Pos) {
  auto Byte = [&](std::size_t I) { return static_cast<unsigned char>(Text[I]); };
  unsigned char Lead = Byte(Pos);
  std::size_t Length;
  unsigned char Low = 0x80, High = 0xBF;  // allowed range of the second byte
  if (Lead >= 0xC2 && Lead <= 0xDF) {
    Length = 2;
  } else if (Lead >= 0xE0 && Lead <= 0xEF) {
    Length = 3;
    if (Lead == 0xE0) Low = 0xA0;   // no overlong forms
    if (Lead == 0xED) High = 0x9F;  // no surrogates
  } else if (Lead >= 0xF0 && Lead <= 0xF4) {
    Length = 4;
    if (Lead == 0xF0) Low = 0x90;   // no overlong forms
    if (Lead == 0xF4) High = 0x8F;  // nothing above U+10FFFF
  } else {
    return 0;
  }
  if (Pos + Length > Text.size()) return 0;
  if (Byte(Pos + 1) < Low || Byte(Pos + 1) > High) return 0;
  for (std::size_t I = 2; I < Length; ++I)
    if (Byte(Pos + I) < 0x80 || Byte(Pos + I) > 0xBF) return 0;
  return Length;
}

template <typename T>
std::string ShortestNumber(T Value) {
  if (!std::isfinite(Value)) return "null";
  char Buffer[64];
  auto [End, Error] = std::to_chars(Buffer, Buffer + sizeof Buffer, Value);
  if (Error != std::errc()) return "null";
  return std::string(Buffer, End);
}

}  // namespace

void AppendJsonString(std::string& Out, std::string_view Text) {
  static const char Hex[] = "0123456789abcdef";
  Out += '"';
  std::size_t Pos = 0;
  while (Pos < Text.size()) {
    unsigned char C = static_cast<unsigned char>(Text[Pos]);
    if (C >= 0x80) {
      std::size_t Length = Utf8SequenceLength(Text, Pos);
      if (Length == 0) {
        Out += Replacement;
        ++Pos;
      } else {
        Out.append(Text.substr(Pos, Length));
        Pos += Length;
      }
      continue;
    }
    switch (C) {
      case '"':
        Out += "\\\"";
        break;
      case '\\':
        Out += "\\\\";
        break;
      case '\b':
        Out += "\\b";
        break;
      case '\f':
        Out += "\\f";
        break;
      case '\n':
        Out += "\\n";
        break;
      case '\r':
        Out += "\\r";
        break;
      case '\t':
        Out += "\\t";
        break;
      default:
        if (C < 0x20) {
          Out += "\\u00";
          Out += Hex[C >> 4];
          Out += Hex[C & 0x0F];
        } else {
          Out += static_cast<char>(C);
        }
    }
    ++Pos;
  }
  Out += '"';
}

std::string JsonString(std::string_view Text) {
  std::string Out;
  AppendJsonString(Out, Text);
  return Out;
}

void JsonWriter::Separate() {
  if (AfterKey) {
    AfterKey = false;
    return;
  }
  if (!HasMembers.empty()) {
    if (HasMembers.back()) Out += ',';
    HasMembers.back() = true;
  }
}

void JsonWriter::Raw(std::string_view Token) {
  Separate();
  Out.append(Token);
}

JsonWriter& JsonWriter::BeginObject() {
  Raw("{");
  HasMembers.push_back(false);
  return *this;
}

JsonWriter& JsonWriter::EndObject() {
  HasMembers.pop_back();
  Out += '}';
  return *this;
}

JsonWriter& JsonWriter::BeginArray() {
  Raw("[");
  HasMembers.push_back(false);
  return *this;
}

JsonWriter& JsonWriter::EndArray() {
  HasMembers.pop_back();
  Out += ']';
  return *this;
}

JsonWriter& JsonWriter::Key(std::string_view Name) {
  Separate();
  AppendJsonString(Out, Name);
  Out += ':';
  AfterKey = true;
  return *this;
}

JsonWriter& JsonWriter::String(std::string_view Value) {
  Separate();
  AppendJsonString(Out, Value);
  return *this;
}

JsonWriter& JsonWriter::Int(int64_t Value) {
  Raw(std::to_string(Value));
  return *this;
}

JsonWriter& JsonWriter::Float(float Value) {
  Raw(ShortestNumber(Value));
  return *this;
}

JsonWriter& JsonWriter::Double(double Value) {
  Raw(ShortestNumber(Value));
  return *this;
}

JsonWriter& JsonWriter::Bool(bool Value) {
  Raw(Value ? "true" : "false");
  return *this;
}

JsonWriter& JsonWriter::Null() {
  Raw("null");
  return *this;
}

}  // namespace vexav::cli
