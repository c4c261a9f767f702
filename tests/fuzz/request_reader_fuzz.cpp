// The request reader over an in-memory stream cut into reads of fuzzer-chosen sizes.
//
// Input layout: byte 0 holds the number of cut bytes (low four bits) and whether the stream ends
// in a failed read instead of the end of stream (bit 4); the cut bytes follow (each a read size
// of 1 to 256, used in turn and then again from the first); the rest is the stream.
//
// Properties: no crash, leak or oversized allocation; a request that fits in the head limit
// reads the same however it is cut; a request that was read has a method and a path, and its
// body is exactly the bytes behind the first blank line of the stream.
#include <algorithm>
#include <cstddef>
#include <cstdint>
#include <cstring>
#include <string>
#include <string_view>

#include "fuzz_check.h"
#include "http/request_reader.h"

namespace {

using kcs::platform::ReceiveResult;

class CutStream final : public kcs::ByteSource {
 public:
  CutStream(std::string_view stream, std::string_view cuts, bool endsInFailure)
      : rest_(stream), cuts_(cuts), endsInFailure_(endsInFailure) {}

  ReceiveResult read(char* buffer, std::size_t capacity, unsigned timeoutMs) override {
    FUZZ_CHECK(capacity > 0);
    FUZZ_CHECK(timeoutMs > 0 && timeoutMs <= kcs::kReceiveTimeoutMs);
    FUZZ_CHECK(capacity <= kcs::kReadChunkBytes);
    if (rest_.empty()) {
      if (endsInFailure_) return {ReceiveResult::Kind::Failed, 0, "timed out"};
      return {ReceiveResult::Kind::Closed, 0, {}};
    }
    std::size_t size = capacity;
    if (!cuts_.empty()) {
      size = 1 + static_cast<unsigned char>(cuts_[next_++ % cuts_.size()]);
    }
    size = std::min({size, capacity, rest_.size()});
    std::memcpy(buffer, rest_.data(), size);
    rest_.remove_prefix(size);
    return {ReceiveResult::Kind::Data, size, {}};
  }

 private:
  std::string_view rest_;
  std::string_view cuts_;
  bool endsInFailure_;
  std::size_t next_ = 0;
};

bool sameOutcome(const kcs::Result<kcs::HttpRequest>& a, const kcs::Result<kcs::HttpRequest>& b) {
  if (a.ok() != b.ok()) return false;
  if (!a.ok()) return a.error() == b.error();
  return a->method == b->method && a->path == b->path && a->token == b->token &&
         a->body == b->body;
}

}  // namespace

extern "C" int LLVMFuzzerTestOneInput(const std::uint8_t* data, std::size_t size) {
  if (size == 0) return 0;
  const std::string_view input(reinterpret_cast<const char*>(data), size);
  const std::size_t cutCount = std::min<std::size_t>(input[0] & 0x0F, input.size() - 1);
  const bool endsInFailure = (input[0] & 0x10) != 0;
  const std::string_view cuts = input.substr(1, cutCount);
  const std::string_view stream = input.substr(1 + cutCount);

  CutStream cut(stream, cuts, endsInFailure);
  const kcs::Result<kcs::HttpRequest> request = kcs::readRequest(cut);

  // Whole reads give the same result whenever the head limit cannot be crossed, because then
  // the only thing the cutting changes is how many reads it takes.
  if (stream.size() <= kcs::kMaxHeadBytes) {
    CutStream whole(stream, {}, endsInFailure);
    FUZZ_CHECK(sameOutcome(request, kcs::readRequest(whole)));
  }

  if (request.ok()) {
    FUZZ_CHECK(!request->method.empty());
    FUZZ_CHECK(!request->path.empty());
    const std::size_t headEnd = stream.find("\r\n\r\n");
    FUZZ_CHECK(headEnd != std::string_view::npos);
    FUZZ_CHECK(headEnd + 4 <= kcs::kMaxHeadBytes);
    FUZZ_CHECK(stream.substr(headEnd + 4, request->body.size()) == request->body);
    FUZZ_CHECK(headEnd + 4 + request->body.size() <= stream.size());
  } else {
    FUZZ_CHECK(!request.error().empty());
  }
  return 0;
}
