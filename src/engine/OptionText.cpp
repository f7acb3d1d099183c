#include "engine/OptionText.h"

#include <cstdlib>
#include <cstring>

#include "engine/Convert.h"

namespace vexav {

StreamMap ParseStreamMap(const std::string& Text) {
  StreamMap Map;
  const char* P = Text.c_str();
  Map.FileIndex = SaturateToInt(ParseCInteger(P, &P));
  if (*P) ++P;
  Map.StreamIndex = SaturateToInt(ParseCInteger(P, &P));
  if (*P) {
    ++P;
    Map.SyncFileIndex = SaturateToInt(ParseCInteger(P, &P));
    if (*P) ++P;
    Map.SyncStreamIndex = SaturateToInt(ParseCInteger(P, &P));
  } else {
    Map.SyncFileIndex = Map.FileIndex;
    Map.SyncStreamIndex = Map.StreamIndex;
  }
  return Map;
}

MetaDataMap ParseMetaDataMap(const std::string& Text) {
  MetaDataMap Map;
  const char* P = Text.c_str();
  Map.OutFile = SaturateToInt(ParseCInteger(P, &P));
  if (*P) ++P;
  Map.InFile = SaturateToInt(ParseCInteger(P, &P));
  return Map;
}

void ParseTsScale(const std::string& Text, int64_t& StreamIndex, double& Scale) {
  const char* P = Text.c_str();
  StreamIndex = ParseCInteger(P, &P);
  if (*P) ++P;
  Scale = ParseCDouble(P, &P);
}

int ParseMatrixCoeffs(const std::string& Text, std::array<uint16_t, 64>& Matrix) {
  const char* P = Text.c_str();
  for (int I = 0;; ++I) {
    // atoi: base 10, white space skipped, the value kept to 16 bits.
    Matrix[I] = static_cast<uint16_t>(std::strtoll(P, nullptr, 10));
    if (I == 63) return -1;
    P = std::strchr(P, ',');
    if (!P) return I;
    ++P;
  }
}

std::vector<char*> SplitHookWords(char* Buffer, int MaxWords) {
  std::vector<char*> Words;
  if (!Buffer) return Words;
  const char Separator = std::strchr(Buffer, '|') ? '|' : ' ';
  char* P = Buffer;
  while (static_cast<int>(Words.size()) < MaxWords) {
    while (*P == Separator) ++P;
    if (!*P) break;
    Words.push_back(P);
    while (*P && *P != Separator) ++P;
    if (!*P) break;
    *P++ = '\0';
  }
  return Words;
}

void ParseTargetValue(const std::string& Value, std::string& Type, std::string& Norm) {
  const std::string Text = Trim(Value);
  if (Text.rfind("pal-", 0) == 0) {
    Norm = "pal";
    Type = Text.substr(4);
  } else if (Text.rfind("ntsc-", 0) == 0) {
    Norm = "ntsc";
    Type = Text.substr(5);
  } else if (Text.rfind("film-", 0) == 0) {
    Norm = "film";
    Type = Text.substr(5);
  } else {
    Norm = "auto";
    Type = Text;
  }
}

}  // namespace vexav
