#include "batch/Json.h"

#include <charconv>
#include <cmath>

namespace vexav::batch {
namespace {

constexpr std::string_view Replacement = "\xEF\xBF\xBD";  // U+FFFD in UTF-8

// The length of the well-formed UTF-8 sequence at Text[Pos], or 0 when the
// byte there does not start one.
std::size_t Utf8SequenceLength(std::string_view Text, std::size_t Pos) {
  auto Byte = [&](std::size_t I) { return static_cast<unsigned char>(Text[I]); };
  const unsigned char Lead = Byte(Pos);
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

}  // namespace

std::string ValidUtf8(std::string_view Text) {
  std::string Out;
  Out.reserve(Text.size());
  std::size_t Pos = 0;
  while (Pos < Text.size()) {
    if (static_cast<unsigned char>(Text[Pos]) < 0x80) {
      Out += Text[Pos++];
      continue;
    }
    const std::size_t Length = Utf8SequenceLength(Text, Pos);
    if (Length == 0) {
      Out += Replacement;
      ++Pos;
    } else {
      Out.append(Text.substr(Pos, Length));
      Pos += Length;
    }
  }
  return Out;
}

bool IsValidUtf8(std::string_view Text) {
  std::size_t Pos = 0;
  while (Pos < Text.size()) {
    if (static_cast<unsigned char>(Text[Pos]) < 0x80) {
      ++Pos;
      continue;
    }
    const std::size_t Length = Utf8SequenceLength(Text, Pos);
    if (Length == 0) return false;
    Pos += Length;
  }
  return true;
}

void PutFileName(Json& Object, const std::string& Key, std::string_view Name) {
  Object[Key] = JsonStringValue(Name);
  if (IsValidUtf8(Name)) return;
  static const char Digits[] = "0123456789abcdef";
  std::string Hex;
  Hex.reserve(Name.size() * 2);
  for (const char C : Name) {
    Hex += Digits[static_cast<unsigned char>(C) >> 4];
    Hex += Digits[static_cast<unsigned char>(C) & 15];
  }
  Object[Key + "_hex"] = std::move(Hex);
}

Json JsonStringValue(std::string_view Text) {
  return Json(ValidUtf8(Text));
}

Json JsonFloat(float Value) {
  if (!std::isfinite(Value)) return Json(nullptr);
  // The float's shortest text, read back as a double, prints as that text.
  char Buffer[64];
  const auto [End, Error] = std::to_chars(Buffer, Buffer + sizeof Buffer, Value);
  if (Error != std::errc()) return Json(nullptr);
  double Widened = 0;
  std::from_chars(Buffer, End, Widened);
  return Json(Widened);
}

std::string JsonText(const Json& Value) {
  // Strings made through JsonStringValue are valid already; anything else
  // is replaced rather than thrown on.
  return Value.dump(-1, ' ', false, Json::error_handler_t::replace);
}

std::string JsonString(std::string_view Text) {
  return JsonText(JsonStringValue(Text));
}

}  // namespace vexav::batch
