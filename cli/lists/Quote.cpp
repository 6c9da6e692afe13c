#include "cli/lists/Quote.h"

#include <cctype>
#include <cstdlib>
#include <cstring>
#include <cwchar>
#include <cwctype>

namespace quillsum::cli {
namespace {

// One character of a name outside ASCII's named classes: how many bytes it takes (at least 1)
// and whether the locale can print it.
struct Character {
  std::size_t length;
  bool printable;
};

Character Decode(std::string_view name, std::size_t at) {
  const auto byte = static_cast<unsigned char>(name[at]);
  if (MB_CUR_MAX == 1)
    return {1, std::isprint(byte) != 0};
  std::mbstate_t state{};
  wchar_t wide;
  const std::size_t got = std::mbrtowc(&wide, name.data() + at, name.size() - at, &state);
  if (got == static_cast<std::size_t>(-1)) // an invalid byte stands alone
    return {1, false};
  if (got == static_cast<std::size_t>(-2)) // cut short: the rest of the name goes with it
    return {name.size() - at, false};
  return {got == 0 ? 1 : got, std::iswprint(static_cast<wint_t>(wide)) != 0};
}

// ASCII that means nothing to the shell, whatever the locale.
bool IsSafe(char c) {
  return (c >= 'a' && c <= 'z') || (c >= 'A' && c <= 'Z') || (c >= '0' && c <= '9') ||
         (c != 0 && std::strchr("%+,-./:]_", c) != nullptr);
}

bool IsShellSpecial(char c) { return c != 0 && std::strchr("!\"$&()*;<=>[^`|", c) != nullptr; }

char EscapeLetter(char c) {
  switch (c) {
  case '\a':
    return 'a';
  case '\b':
    return 'b';
  case '\f':
    return 'f';
  case '\n':
    return 'n';
  case '\r':
    return 'r';
  case '\t':
    return 't';
  case '\v':
    return 'v';
  default:
    return 0;
  }
}

// Whether the shell takes the name as it stands. A colon is quoted too, so that a name cannot
// be mistaken for the "name: reason" of a message.
bool StaysBare(std::string_view name) {
  if (name.empty())
    return false;
  for (std::size_t at = 0; at < name.size();) {
    const char c = name[at];
    const bool alone = name.size() == 1;
    if (c == ':' || c == '?' || c == '\\' || c == '\'' || c == ' ' || EscapeLetter(c) ||
        IsShellSpecial(c) || ((c == '{' || c == '}') && alone) ||
        ((c == '#' || c == '~') && at == 0))
      return false;
    if (IsSafe(c) || c == '{' || c == '}' || c == '#' || c == '~') {
      ++at;
      continue;
    }
    const Character character = Decode(name, at);
    if (!character.printable)
      return false;
    // Old shells see a second byte that looks like one of these as the character itself.
    for (std::size_t k = 1; k < character.length; ++k)
      if (name[at + k] != 0 && std::strchr("[\\^`|", name[at + k]))
        return false;
    at += character.length;
  }
  return true;
}

struct Quoted {
  std::string text;
  bool hadApostrophe = false;
  bool allPlain = true;         // every character reads the same inside double quotes
  bool dollarQuoteOpen = false; // the text ends inside a $'...' part
};

// The name in single quotes; what the shell cannot take inside them (control characters, bytes
// that are not printable) goes in $'...' parts, and an apostrophe as '\''. dollarQuoteOpen says
// whether a $'...' part counts as open at the start, as it does in md5sum's second pass.
Quoted SingleQuoted(std::string_view name, bool dollarQuoteOpen) {
  Quoted q;
  q.dollarQuoteOpen = dollarQuoteOpen;
  q.text.push_back('\'');
  bool escaping = false;
  const auto openEscape = [&] {
    escaping = true;
    if (!q.dollarQuoteOpen) {
      q.text += "'$'";
      q.dollarQuoteOpen = true;
    }
    q.text += '\\';
  };
  const auto store = [&](char c) {
    if (q.dollarQuoteOpen && !escaping) {
      q.text += "''";
      q.dollarQuoteOpen = false;
    }
    q.text += c;
  };
  for (std::size_t at = 0; at < name.size(); ++at) {
    const char c = name[at];
    escaping = false;
    bool plain = false;
    if (const char letter = EscapeLetter(c)) {
      openEscape();
      store(letter);
    } else if (c == '\'') {
      q.hadApostrophe = true;
      plain = true;
      q.text += "'\\'";
      q.dollarQuoteOpen = false;
      store(c);
    } else if (IsSafe(c) || c == ' ' || c == '\\' || c == '?' || IsShellSpecial(c) || c == '{' ||
               c == '}' || c == '#' || c == '~') {
      plain = IsSafe(c) || c == ' ' || ((c == '{' || c == '}') && name.size() == 1) ||
              ((c == '#' || c == '~') && at == 0);
      store(c);
    } else {
      const Character character = Decode(name, at);
      plain = character.printable;
      const std::size_t end = at + character.length;
      for (;; ++at) {
        const auto byte = static_cast<unsigned char>(name[at]);
        if (character.printable) {
          store(static_cast<char>(byte));
        } else {
          openEscape();
          q.text += static_cast<char>('0' + (byte >> 6));
          q.text += static_cast<char>('0' + ((byte >> 3) & 7));
          store(static_cast<char>('0' + (byte & 7)));
        }
        if (at + 1 >= end)
          break;
      }
    }
    q.allPlain = q.allPlain && plain;
  }
  q.text += '\'';
  return q;
}

} // namespace

std::string QuoteName(std::string_view name) {
  if (StaysBare(name))
    return std::string(name);
  const Quoted quoted = SingleQuoted(name, false);
  if (!quoted.hadApostrophe)
    return quoted.text;
  // An apostrophe reads better in double quotes, when nothing else needs escaping there.
  if (quoted.allPlain)
    return '"' + std::string(name) + '"';
  // md5sum writes such a name a second time, starting with the $'...' state its first pass
  // ended in; the result differs from the first when the name ends in an escaped byte.
  return SingleQuoted(name, quoted.dollarQuoteOpen).text;
}

std::string Failure(std::string_view name, int error) {
  return Failure(name, std::string_view(std::strerror(error)));
}

std::string Failure(std::string_view name, std::string_view reason) {
  std::string message = QuoteName(name);
  message.append(": ").append(reason);
  return message;
}

} // namespace quillsum::cli
