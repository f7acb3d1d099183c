// A small strict JSON reader for checking the program's output: one
// document per call, any error (including trailing text) throws.
#pragma once

#include <cstdint>
#include <cstdlib>
#include <stdexcept>
#include <string>
#include <utility>
#include <vector>

namespace vexav::testjson {

struct Value {
  enum class Kind { Null, Bool, Number, String, Array, Object };
  Kind Type = Kind::Null;
  bool Flag = false;
  double Number = 0;
  std::string NumberText;  // the number as written
  std::string Text;
  std::vector<Value> Items;
  std::vector<std::pair<std::string, Value>> Members;  // in written order

  bool Has(const std::string& Key) const { return Find(Key) != nullptr; }
  const Value* Find(const std::string& Key) const {
    for (const auto& [Name, Member] : Members)
      if (Name == Key) return &Member;
    return nullptr;
  }
  const Value& operator[](const std::string& Key) const {
    const Value* Member = Find(Key);
    if (!Member) throw std::runtime_error("no member \"" + Key + "\"");
    return *Member;
  }
  const Value& operator[](std::size_t Index) const { return Items.at(Index); }
  std::vector<std::string> Keys() const {
    std::vector<std::string> Names;
    for (const auto& Member : Members) Names.push_back(Member.first);
    return Names;
  }
};

class Reader {
 public:
  static Value Parse(const std::string& Text) {
    Reader R(Text);
    R.SkipSpace();
    Value V = R.ParseValue();
    R.SkipSpace();
    if (R.Pos != Text.size()) R.Fail("text after the document");
    return V;
  }

 private:
  explicit Reader(const std::string& Text) : In(Text) {}

  [[noreturn]] void Fail(const std::string& What) const {
    throw std::runtime_error("JSON: " + What + " at offset " + std::to_string(Pos));
  }
  void SkipSpace() {
    while (Pos < In.size() &&
           (In[Pos] == ' ' || In[Pos] == '\t' || In[Pos] == '\n' || In[Pos] == '\r'))
      ++Pos;
  }
  bool Take(char C) {
    if (Pos < In.size() && In[Pos] == C) {
      ++Pos;
      return true;
    }
    return false;
  }
  void Expect(char C) {
    if (!Take(C)) Fail(std::string("expected '") + C + "'");
  }
  void Word(const char* W) {
    for (const char* P = W; *P; ++P) Expect(*P);
  }

  Value ParseValue() {
    if (Pos >= In.size()) Fail("unexpected end");
    Value V;
    switch (In[Pos]) {
      case '{': {
        ++Pos;
        V.Type = Value::Kind::Object;
        SkipSpace();
        if (Take('}')) return V;
        do {
          SkipSpace();
          std::string Key = ParseString();
          SkipSpace();
          Expect(':');
          SkipSpace();
          Value Member = ParseValue();
          V.Members.emplace_back(std::move(Key), std::move(Member));
          SkipSpace();
        } while (Take(','));
        Expect('}');
        return V;
      }
      case '[': {
        ++Pos;
        V.Type = Value::Kind::Array;
        SkipSpace();
        if (Take(']')) return V;
        do {
          SkipSpace();
          V.Items.push_back(ParseValue());
          SkipSpace();
        } while (Take(','));
        Expect(']');
        return V;
      }
      case '"':
        V.Type = Value::Kind::String;
        V.Text = ParseString();
        return V;
      case 't':
        Word("true");
        V.Type = Value::Kind::Bool;
        V.Flag = true;
        return V;
      case 'f':
        Word("false");
        V.Type = Value::Kind::Bool;
        return V;
      case 'n':
        Word("null");
        return V;
      default:
        return ParseNumber();
    }
  }

  Value ParseNumber() {
    std::size_t Start = Pos;
    auto Digits = [&] {
      std::size_t From = Pos;
      while (Pos < In.size() && In[Pos] >= '0' && In[Pos] <= '9') ++Pos;
      if (Pos == From) Fail("digit expected");
    };
    Take('-');
    if (Take('0')) {
      // no leading zeros
    } else {
      Digits();
    }
    if (Take('.')) Digits();
    if (Take('e') || Take('E')) {
      if (!Take('+')) Take('-');
      Digits();
    }
    Value V;
    V.Type = Value::Kind::Number;
    V.NumberText = In.substr(Start, Pos - Start);
    V.Number = std::strtod(V.NumberText.c_str(), nullptr);
    return V;
  }

  unsigned Hex4() {
    if (Pos + 4 > In.size()) Fail("short \\u escape");
    unsigned Code = 0;
    for (int I = 0; I < 4; ++I) {
      char C = In[Pos++];
      Code <<= 4;
      if (C >= '0' && C <= '9')
        Code |= C - '0';
      else if (C >= 'a' && C <= 'f')
        Code |= C - 'a' + 10;
      else if (C >= 'A' && C <= 'F')
        Code |= C - 'A' + 10;
      else
        Fail("bad \\u escape");
    }
    return Code;
  }

  static void AppendUtf8(std::string& Out, unsigned Code) {
    if (Code < 0x80) {
      Out += static_cast<char>(Code);
    } else if (Code < 0x800) {
      Out += static_cast<char>(0xC0 | (Code >> 6));
      Out += static_cast<char>(0x80 | (Code & 0x3F));
    } else if (Code < 0x10000) {
      Out += static_cast<char>(0xE0 | (Code >> 12));
      Out += static_cast<char>(0x80 | ((Code >> 6) & 0x3F));
      Out += static_cast<char>(0x80 | (Code & 0x3F));
    } else {
      Out += static_cast<char>(0xF0 | (Code >> 18));
      Out += static_cast<char>(0x80 | ((Code >> 12) & 0x3F));
      Out += static_cast<char>(0x80 | ((Code >> 6) & 0x3F));
      Out += static_cast<char>(0x80 | (Code & 0x3F));
    }
  }

  std::string ParseString() {
    Expect('"');
    std::string Out;
    while (true) {
      if (Pos >= In.size()) Fail("unterminated string");
      unsigned char C = static_cast<unsigned char>(In[Pos++]);
      if (C == '"') return Out;
      if (C < 0x20) Fail("raw control character in string");
      if (C != '\\') {
        Out += static_cast<char>(C);
        continue;
      }
      if (Pos >= In.size()) Fail("unterminated escape");
      char E = In[Pos++];
      switch (E) {
        case '"':
          Out += '"';
          break;
        case '\\':
          Out += '\\';
          break;
        case '/':
          Out += '/';
          break;
        case 'b':
          Out += '\b';
          break;
        case 'f':
          Out += '\f';
          break;
        case 'n':
          Out += '\n';
          break;
        case 'r':
          Out += '\r';
          break;
        case 't':
          Out += '\t';
          break;
        case 'u': {
          unsigned Code = Hex4();
          if (Code >= 0xD800 && Code <= 0xDBFF) {
            Expect('\\');
            Expect('u');
            unsigned Low = Hex4();
            if (Low < 0xDC00 || Low > 0xDFFF) Fail("bad surrogate pair");
            Code = 0x10000 + ((Code - 0xD800) << 10) + (Low - 0xDC00);
          } else if (Code >= 0xDC00 && Code <= 0xDFFF) {
            Fail("lone low surrogate");
          }
          AppendUtf8(Out, Code);
          break;
        }
        default:
          Fail("bad escape");
      }
    }
  }

  const std::string& In;
  std::size_t Pos = 0;
};

}  // namespace vexav::testjson
