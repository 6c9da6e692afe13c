// Feeds arbitrary UTF-16 text to DigestStrToHexStr and checks it against glibc's Windows-1252
// table and OpenSSL's MD5.

#include "engine/MD5CLS.h"
#include "support/Reference.h"

#include <cstdio>
#include <cstdlib>
#include <cstring>

extern "C" int LLVMFuzzerTestOneInput(const std::uint8_t *data, std::size_t size) {
  std::u16string text(size / 2, u'\0');
  std::memcpy(text.data(), data, text.size() * 2);
  std::vector<std::uint8_t> bytes;
  for (char16_t c : text)
    bytes.push_back(quillsum::test::ReferenceAnsi(c));
  if (quillsum::MD5CLS().DigestStrToHexStr(text) != quillsum::test::ReferenceMd5(bytes)) {
    std::fprintf(stderr, "mismatch for a text of %zu characters\n", text.size());
    std::abort();
  }
  return 0;
}
