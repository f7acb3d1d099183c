#include "engine/Convert.h"

#include <cctype>
#include <charconv>
#include <cmath>
#include <cstring>
#include <limits>

#include "binding/Text.h"
#include "engine/FFMpegException.h"

namespace vexav {
namespace {

bool IsBlank(char C) { return static_cast<unsigned char>(C) <= ' '; }

bool IsCSpace(char C) { return std::isspace(static_cast<unsigned char>(C)) != 0; }

int HexValue(char C) {
  if (C >= '0' && C <= '9') return C - '0';
  if (C >= 'a' && C <= 'f') return C - 'a' + 10;
  if (C >= 'A' && C <= 'F') return C - 'A' + 10;
  return -1;
}

// Reads S as a whole number of Bits (32 or 64) bits. False when S is not
// such a number or its value does not fit.
bool ParseWhole(const std::string& S, int Bits, int64_t& Out) {
  std::size_t I = 0;
  while (I < S.size() && IsBlank(S[I])) ++I;
  bool Negative = false;
  if (I < S.size() && (S[I] == '+' || S[I] == '-')) {
    Negative = S[I] == '-';
    ++I;
  }
  if (I >= S.size()) return false;
  const uint64_t WidthMask = Bits == 64 ? ~uint64_t{0} : (uint64_t{1} << Bits) - 1;
  uint64_t Value = 0;
  if (S[I] == '$') {
    ++I;
    if (I >= S.size()) return false;
    for (; I < S.size(); ++I) {
      int Digit = HexValue(S[I]);
      if (Digit < 0) return false;
      if (Value > (WidthMask >> 4)) return false;
      Value = (Value << 4) | static_cast<uint64_t>(Digit);
    }
    // The bit pattern of the field's width, read as a signed value.
    if (Negative) Value = (~Value + 1) & WidthMask;
    if (Bits == 64) {
      Out = static_cast<int64_t>(Value);
    } else {
      Out = static_cast<int32_t>(static_cast<uint32_t>(Value));
    }
    return true;
  }
  const uint64_t Limit = (uint64_t{1} << (Bits - 1)) - (Negative ? 0 : 1);
  for (; I < S.size(); ++I) {
    if (S[I] < '0' || S[I] > '9') return false;
    uint64_t Digit = static_cast<uint64_t>(S[I] - '0');
    if (Value > (Limit - Digit) / 10) return false;
    Value = Value * 10 + Digit;
  }
  if (Negative) {
    Out = Value == (uint64_t{1} << 63) ? std::numeric_limits<int64_t>::min()
                                       : -static_cast<int64_t>(Value);
  } else {
    Out = static_cast<int64_t>(Value);
  }
  return true;
}

// Reads S as a decimal number; false for a bad text or an out-of-range value.
bool ParseDecimal(const std::string& S, double& Out) {
  std::size_t Begin = 0, End = S.size();
  while (Begin < End && IsBlank(S[Begin])) ++Begin;
  while (End > Begin && IsBlank(S[End - 1])) --End;
  std::size_t I = Begin;
  bool Negative = false;
  if (I < End && (S[I] == '+' || S[I] == '-')) {
    Negative = S[I] == '-';
    ++I;
  }
  const std::size_t Body = I;
  std::size_t Digits = 0;
  while (I < End && S[I] >= '0' && S[I] <= '9') ++I, ++Digits;
  if (I < End && S[I] == '.') {
    ++I;
    while (I < End && S[I] >= '0' && S[I] <= '9') ++I, ++Digits;
  }
  if (Digits == 0) return false;
  if (I < End && (S[I] == 'e' || S[I] == 'E')) {
    ++I;
    if (I < End && (S[I] == '+' || S[I] == '-')) ++I;
    std::size_t ExponentDigits = 0;
    while (I < End && S[I] >= '0' && S[I] <= '9') ++I, ++ExponentDigits;
    if (ExponentDigits == 0) return false;
  }
  if (I != End) return false;
  // from_chars takes no "+" and no trailing ".": hand it the plain body.
  std::string Plain = S.substr(Body, End - Body);
  double Value = 0;
  auto [Ptr, Error] = std::from_chars(Plain.data(), Plain.data() + Plain.size(), Value,
                                      std::chars_format::general);
  if (Error != std::errc() || Ptr != Plain.data() + Plain.size() || !std::isfinite(Value))
    return false;
  Out = Negative ? -Value : Value;
  return true;
}

[[noreturn]] void RaiseInteger(const std::string& S) {
  throw EConvertError(Format("'%s' is not a valid integer value", S.c_str()));
}

[[noreturn]] void RaiseFloat(const std::string& S) {
  throw EConvertError(Format("'%s' is not a valid floating point value", S.c_str()));
}

}  // namespace

std::string Trim(const std::string& S) {
  std::size_t Begin = 0, End = S.size();
  while (Begin < End && IsBlank(S[Begin])) ++Begin;
  while (End > Begin && IsBlank(S[End - 1])) --End;
  return S.substr(Begin, End - Begin);
}

int StrToInt(const std::string& S) {
  int64_t Value = 0;
  if (!ParseWhole(S, 32, Value)) RaiseInteger(S);
  return static_cast<int>(Value);
}

int64_t StrToInt64(const std::string& S) {
  int64_t Value = 0;
  if (!ParseWhole(S, 64, Value)) RaiseInteger(S);
  return Value;
}

int StrToIntDef(const std::string& S, int Default) {
  int64_t Value = 0;
  return ParseWhole(S, 32, Value) ? static_cast<int>(Value) : Default;
}

double StrToFloat(const std::string& S) {
  double Value = 0;
  if (!ParseDecimal(S, Value)) RaiseFloat(S);
  return Value;
}

float StrToSingle(const std::string& S) {
  double Value = StrToFloat(S);
  if (std::fabs(Value) > std::numeric_limits<float>::max()) RaiseFloat(S);
  return static_cast<float>(Value);
}

double StrToFloatDef(const std::string& S, double Default) {
  double Value = 0;
  return ParseDecimal(S, Value) ? Value : Default;
}

int64_t ParseCInteger(const char* Text, const char** End) {
  const char* P = Text;
  while (*P && IsCSpace(*P)) ++P;
  bool Negative = false;
  if (*P == '+' || *P == '-') {
    Negative = *P == '-';
    ++P;
  }
  int Base = 10;
  if (P[0] == '0' && (P[1] == 'x' || P[1] == 'X') && HexValue(P[2]) >= 0) {
    Base = 16;
    P += 2;
  } else if (P[0] == '0') {
    Base = 8;
  }
  const char* DigitsStart = P;
  uint64_t Value = 0;
  bool Saturated = false;
  const uint64_t Limit = Negative ? uint64_t{1} << 63 : (uint64_t{1} << 63) - 1;
  for (;; ++P) {
    int Digit = HexValue(*P);
    if (Digit < 0 || Digit >= Base) break;
    if (Saturated) continue;
    if (Value > (Limit - static_cast<uint64_t>(Digit)) / static_cast<uint64_t>(Base)) {
      Saturated = true;
      Value = Limit;
      continue;
    }
    Value = Value * static_cast<uint64_t>(Base) + static_cast<uint64_t>(Digit);
  }
  if (P == DigitsStart) {
    if (End) *End = Text;
    return 0;
  }
  if (End) *End = P;
  if (Negative)
    return Value == (uint64_t{1} << 63) ? std::numeric_limits<int64_t>::min()
                                        : -static_cast<int64_t>(Value);
  return static_cast<int64_t>(Value);
}

double ParseCDouble(const char* Text, const char** End) {
  const char* P = Text;
  while (*P && IsCSpace(*P)) ++P;
  bool Negative = false;
  if (*P == '+' || *P == '-') {
    Negative = *P == '-';
    ++P;
  }
  const char* Stop = P + std::strlen(P);
  double Value = 0;
  auto [Ptr, Error] = std::from_chars(P, Stop, Value, std::chars_format::general);
  if (Ptr == P) {
    if (End) *End = Text;
    return 0;
  }
  if (Error == std::errc::result_out_of_range) {
    // Too large gives infinity, too small zero, as strtod does.
    const char* E = P;
    while (E < Ptr && *E != 'e' && *E != 'E') ++E;
    const bool Underflow = E < Ptr && E[1] == '-';
    Value = Underflow ? 0.0 : std::numeric_limits<double>::infinity();
  }
  if (End) *End = Ptr;
  return Negative ? -Value : Value;
}

int SaturateToInt(int64_t Value) {
  if (Value > std::numeric_limits<int>::max()) return std::numeric_limits<int>::max();
  if (Value < std::numeric_limits<int>::min()) return std::numeric_limits<int>::min();
  return static_cast<int>(Value);
}

int64_t RoundDivHalfEven(int64_t N, int64_t D) {
  if (D < 0) {
    N = -N;
    D = -D;
  }
  int64_t Q = N / D;
  int64_t R = N % D;
  if (R < 0) {
    --Q;
    R += D;
  }
  // Now N = Q * D + R with 0 <= R < D.
  if (R > D - R) return Q + 1;
  if (R == D - R && (Q % 2 != 0)) return Q + 1;
  return Q;
}

}  // namespace vexav
