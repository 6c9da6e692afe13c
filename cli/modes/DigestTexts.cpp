#include "cli/lists/Quote.h"
#include "cli/lists/Unicode.h"
#include "cli/modes/Modes.h"

#include "engine/MD5CLS.h"

#include <optional>

namespace quillsum::cli {

bool DigestTexts(const Options &options, Output &output) {
  bool ok = true;
  for (const std::string &operand : options.operands) {
    const std::optional<std::u16string> text = FromUtf8(operand);
    if (!text) {
      output.Error(QuoteName(operand) + ": not valid UTF-8");
      ok = false;
      continue;
    }
    std::string line = MD5CLS().DigestStrToHexStr(*text);
    line += options.zero ? '\0' : '\n';
    output.Out(line);
  }
  output.Flush();
  return ok;
}

} // namespace quillsum::cli
