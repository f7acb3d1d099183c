// Turning option texts into numbers. Option texts are locale-free, like a
// command line: decimals are always read with ".".
#pragma once

#include <cstdint>
#include <string>

namespace vexav {

// Removes leading and trailing blanks and control characters (every
// character up to and including the space).
std::string Trim(const std::string& S);

// A whole number: optional leading blanks, an optional sign, then decimal
// digits or "$" followed by hexadecimal digits, and nothing after them. A
// text that is not such a number, or whose value does not fit, raises
// EConvertError "'%s' is not a valid integer value". Hexadecimal values
// take the full unsigned width and wrap, so "$FFFFFFFF" is -1.
int StrToInt(const std::string& S);
int64_t StrToInt64(const std::string& S);
// The same conversion, giving Default instead of raising.
int StrToIntDef(const std::string& S, int Default);

// A decimal number: optional blanks around it, an optional sign, digits with
// an optional "." and an optional exponent. A bad text, or a value out of the
// range of a double, raises EConvertError "'%s' is not a valid floating point
// value".
double StrToFloat(const std::string& S);
// As StrToFloat, for a 32-bit field: a finite value outside its range raises
// the same error.
float StrToSingle(const std::string& S);
double StrToFloatDef(const std::string& S, double Default);

// C-style prefix readers, as strtol with base 0 (decimal, "0x" hexadecimal,
// leading-zero octal) and strtod, but independent of the locale. They skip
// leading white space, read as much as forms a number and set End to the
// first character not used (Text itself, and a result of 0, when nothing
// was read). ParseCInteger saturates at the limits of a 64-bit value.
int64_t ParseCInteger(const char* Text, const char** End);
double ParseCDouble(const char* Text, const char** End);

// A 64-bit value narrowed to int, saturating at the limits.
int SaturateToInt(int64_t Value);

// N / D rounded to the nearest integer, halves to the even neighbour.
// D must not be 0.
int64_t RoundDivHalfEven(int64_t N, int64_t D);

}  // namespace vexav
