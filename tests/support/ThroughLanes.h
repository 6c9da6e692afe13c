#pragma once

// quillsum::MD5Lanes worked as a file-hashing thread works it, for tests and fuzzers.

#include <cstddef>
#include <functional>
#include <string>
#include <vector>

namespace quillsum::test {

// The worker's choices: the size of a message's next piece (up to the bytes left), whether to
// drop the message rather than feed that piece (as after a read error), whether to leave a lane
// that Run has returned waiting for now.
struct LaneChoices {
  std::function<std::size_t(std::size_t left)> piece;
  std::function<bool(std::size_t message, bool lastPiece)> drop;
  std::function<bool()> wait;
};

// The digests of the messages through MD5Lanes, in upper-case hex ("" for a dropped one): a free
// lane takes the next message, fed in pieces from one buffer per lane that is scribbled over once
// the lanes give it back. Throws std::logic_error if a lane finishes without a message.
std::vector<std::string> DigestThroughLanes(const std::vector<std::string> &messages,
                                            const LaneChoices &choose);

} // namespace quillsum::test
