// Feeds a fuzzed sequence of MD5Update pieces, with restarts and rejected calls, to one MD5CLS
// and checks every finished digest against OpenSSL's MD5 of the same bytes.

#include "engine/MD5CLS.h"
#include "engine/RuntimeError.h"
#include "support/Reference.h"

#include <fuzzer/FuzzedDataProvider.h>

#include <cstdio>
#include <cstdlib>

namespace {

void Expect(bool ok, const char *what) {
  if (!ok) {
    std::fprintf(stderr, "mismatch: %s\n", what);
    std::abort();
  }
}

} // namespace

extern "C" int LLVMFuzzerTestOneInput(const std::uint8_t *data, std::size_t size) {
  FuzzedDataProvider input(data, size);
  quillsum::MD5CLS md5;
  std::vector<std::uint8_t> message;
  md5.MD5Init();

  const auto feed = [&](std::vector<std::uint8_t> piece, std::size_t spare) {
    const auto length = static_cast<std::int32_t>(piece.size());
    message.insert(message.end(), piece.begin(), piece.end());
    piece.resize(piece.size() + spare, 0xEE); // elements past InputLen must not be read
    md5.MD5Update(length, piece);
  };
  const auto finish = [&] {
    md5.MD5Final();
    Expect(md5.GetValues() == quillsum::test::ReferenceMd5(message), "digest");
    message.clear();
    md5.MD5Init();
  };
  const auto expectRejected = [&](std::int32_t length, std::size_t bufferSize, int error) {
    try {
      md5.MD5Update(length, std::vector<std::uint8_t>(bufferSize, 0x55));
      Expect(false, "bad call accepted");
    } catch (const quillsum::RuntimeError &e) {
      Expect(e.Number() == error, "error number");
    }
  };

  while (input.remaining_bytes() > 0) {
    switch (input.ConsumeIntegralInRange(0, 15)) {
    case 0:
      finish();
      break;
    case 1: // abandon the message midway
      message.clear();
      md5.MD5Init();
      break;
    case 2: { // a long run of one byte crosses many blocks for few input bytes
      const auto length = input.ConsumeIntegralInRange<std::size_t>(0, 20'000);
      feed(std::vector<std::uint8_t>(length, input.ConsumeIntegral<std::uint8_t>()), 0);
      break;
    }
    case 3: {
      const auto bufferSize = input.ConsumeIntegralInRange<std::size_t>(0, 100);
      expectRejected(static_cast<std::int32_t>(bufferSize) + 1, bufferSize, 9);
      expectRejected(input.ConsumeIntegralInRange<std::int32_t>(INT32_MIN, -1), bufferSize, 5);
      break;
    }
    default: {
      const auto length = input.ConsumeIntegralInRange<std::size_t>(0, 200);
      const auto spare = input.ConsumeIntegralInRange<std::size_t>(0, 3);
      feed(input.ConsumeBytes<std::uint8_t>(length), spare);
    }
    }
  }
  finish();
  return 0;
}
