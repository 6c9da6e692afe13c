// Prints MD5CLS's digest of a whole file, so that it can be timed as a process beside
// openssl dgst and md5sum.

#include "engine/MD5CLS.h"

#include <cstdio>

int main(int argc, char **argv) {
  if (argc != 2) {
    std::fprintf(stderr, "usage: %s FILE\n", argv[0]);
    return 2;
  }
  const std::string hex = quillsum::MD5CLS().DigestFileToHexStr(argv[1]);
  if (hex.empty())
    return 1;
  std::puts(hex.c_str());
  return 0;
}
