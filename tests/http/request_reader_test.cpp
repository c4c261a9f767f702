#include "http/request_reader.h"

#include <gtest/gtest.h>

#include <algorithm>
#include <cstring>
#include <new>
#include <string>
#include <vector>

namespace kcs {
namespace {

// Hands out a fixed byte stream in pieces of a chosen size, then reports the end (or a failure).
// Time is simulated: each piece arrives msPerRead after the last, and a read whose time-out is
// shorter than that times out instead.
class MemorySource final : public ByteSource {
 public:
  MemorySource(std::string bytes, std::size_t piece, std::string failAtEnd = {})
      : bytes_(std::move(bytes)), piece_(piece), failAtEnd_(std::move(failAtEnd)) {}

  platform::ReceiveResult read(char* buffer, std::size_t capacity, unsigned timeoutMs) override {
    ++reads;
    largestAsk = std::max(largestAsk, capacity);
    longestWait = std::max(longestWait, timeoutMs);
    platform::ReceiveResult result;
    if (msPerRead > timeoutMs) {
      now += timeoutMs;
      result.error = "timed out";
      return result;
    }
    now += msPerRead;
    if (offset_ == bytes_.size()) {
      result.kind = failAtEnd_.empty() ? platform::ReceiveResult::Kind::Closed
                                       : platform::ReceiveResult::Kind::Failed;
      result.error = failAtEnd_;
      return result;
    }
    const std::size_t n = std::min({piece_, capacity, bytes_.size() - offset_});
    std::memcpy(buffer, bytes_.data() + offset_, n);
    offset_ += n;
    result.kind = platform::ReceiveResult::Kind::Data;
    result.size = n;
    return result;
  }

  std::size_t consumed() const { return offset_; }
  platform::Clock clock() {
    return [this] { return now; };
  }

  int reads = 0;
  std::size_t largestAsk = 0;
  unsigned longestWait = 0;
  unsigned msPerRead = 0;
  std::uint64_t now = 0;

 private:
  std::string bytes_;
  std::size_t piece_;
  std::string failAtEnd_;
  std::size_t offset_ = 0;
};

// Read sizes that cut the marker, UTF-8 sequences and header names in every possible place.
const std::size_t kPieces[] = {1, 2, 3, 5, 1024, 1 << 20};

struct GoodCase {
  const char* name;
  std::string bytes;
  std::string method, path, token, body;
};

TEST(ReadRequest, ReadsWhatTheServiceNeedsWhateverTheReadSizes) {
  const std::string replacement = "\xEF\xBF\xBD";
  const std::vector<GoodCase> cases = {
      {"no version", "GET /health\r\n\r\n", "GET", "/health", "", ""},
      {"extra tokens", "GET /health HTTP/1.1 more stuff\r\n\r\n", "GET", "/health", "", ""},
      {"leading white space, case kept", " \t get /x HTTP/1.1\r\n\r\n", "get", "/x", "", ""},
      {"query stays in path", "GET /launch/session?x=1 HTTP/1.1\r\n\r\n", "GET",
       "/launch/session?x=1", "", ""},
      {"plus sign in length", "PUT / HTTP/1.1\r\ncontent-length: +12\r\n\r\nhello world!", "PUT",
       "/", "", "hello world!"},
      {"no blank after colon", "PUT / HTTP/1.1\r\nContent-Length:3\r\n\r\nabc", "PUT", "/", "",
       "abc"},
      {"blank before colon is another header", "PUT / HTTP/1.1\r\ncontent-length : 3\r\n\r\nabc",
       "PUT", "/", "", ""},
      {"token in capitals, blanks trimmed", "GET / HTTP/1.1\r\nX-KORVESSA-TOKEN:  secret  \r\n\r\n",
       "GET", "/", "secret", ""},
      {"Unicode blanks trimmed", "GET / HTTP/1.1\r\nx-korvessa-token:\xC2\xA0tok\xE3\x80\x80\r\n\r\n",
       "GET", "/", "tok", ""},
      {"last token wins", "GET / HTTP/1.1\r\nx-korvessa-token: a\r\nx-korvessa-token: b\r\n\r\n",
       "GET", "/", "b", ""},
      {"later length replaces earlier",
       "PUT / HTTP/1.1\r\ncontent-length: 9\r\ncontent-length: 2\r\n\r\nhi", "PUT", "/", "", "hi"},
      {"bare line feeds do not end the headers",
       "GET / HTTP/1.1\n\nx-korvessa-token: t\r\n\r\n", "GET", "/", "t", ""},
      {"invalid UTF-8 in path", "GET /he\xFF\xC0" "alth HTTP/1.1\r\n\r\n", "GET",
       "/he" + replacement + replacement + "alth", "", ""},
      {"pipelined bytes ignored",
       "PUT / HTTP/1.1\r\ncontent-length: 3\r\n\r\nabcGET /x HTTP/1.1\r\n\r\n", "PUT", "/", "",
       "abc"},
      {"body with binary bytes", std::string("PUT / HTTP/1.1\r\ncontent-length: 4\r\n\r\n\0\xFF\r\n", 42),
       "PUT", "/", "", std::string("\0\xFF\r\n", 4)},
  };
  for (const GoodCase& c : cases) {
    for (std::size_t piece : kPieces) {
      SCOPED_TRACE(std::string(c.name) + ", pieces of " + std::to_string(piece));
      MemorySource source(c.bytes, piece);
      Result<HttpRequest> request = readRequest(source);
      ASSERT_TRUE(request.ok()) << request.error();
      EXPECT_EQ(request->method, c.method);
      EXPECT_EQ(request->path, c.path);
      EXPECT_EQ(request->token, c.token);
      EXPECT_EQ(request->body, c.body);
      EXPECT_LE(source.largestAsk, kReadChunkBytes);
      EXPECT_LE(source.longestWait, kReceiveTimeoutMs);
    }
  }
}

TEST(ReadRequest, BodyThatCameWithTheHeadNeedsNoFurtherRead) {
  // The source reports the end of the stream on a second read, which would fail the request.
  MemorySource source("PUT /p HTTP/1.1\r\ncontent-length: 5\r\n\r\nhello", 1024);
  Result<HttpRequest> request = readRequest(source);
  ASSERT_TRUE(request.ok()) << request.error();
  EXPECT_EQ(request->body, "hello");
  EXPECT_EQ(source.reads, 1);
}

struct BadCase {
  const char* name;
  std::string bytes;
  std::string reason;
};

TEST(ReadRequest, RefusesWithTheRightReason) {
  const std::vector<BadCase> cases = {
      {"nothing", "", "connection closed"},
      {"head never ends", "GET /health HTTP/1.1\r\nx: y\r\n", "connection closed"},
      {"bare line feeds are no end of head", "GET /health\n\n", "connection closed"},
      {"empty request line", "\r\n\r\n", "missing method"},
      {"white space only", " \t \r\n\r\n", "missing method"},
      {"method only", "GET\r\n\r\n", "missing path"},
      {"inner blank", "PUT / HTTP/1.1\r\ncontent-length: 1 2\r\n\r\n", "invalid content length"},
      {"minus zero", "PUT / HTTP/1.1\r\ncontent-length: -0\r\n\r\n", "invalid content length"},
      {"hexadecimal", "PUT / HTTP/1.1\r\ncontent-length: 0x10\r\n\r\n", "invalid content length"},
      {"empty", "PUT / HTTP/1.1\r\ncontent-length:\r\n\r\n", "invalid content length"},
      {"lone plus", "PUT / HTTP/1.1\r\ncontent-length: +\r\n\r\n", "invalid content length"},
      {"above 64 bits", "PUT / HTTP/1.1\r\ncontent-length: 18446744073709551616\r\n\r\n",
       "invalid content length"},
      {"after the token header", "PUT / HTTP/1.1\r\nx-korvessa-token: t\r\ncontent-length: x\r\n\r\n",
       "invalid content length"},
      {"a bad length is not repaired by a later one",
       "PUT / HTTP/1.1\r\ncontent-length: x\r\ncontent-length: 0\r\n\r\n", "invalid content length"},
      {"largest length is only a promise",
       "PUT / HTTP/1.1\r\ncontent-length: 18446744073709551615\r\n\r\nabc", "incomplete body"},
      {"body ends early", "PUT / HTTP/1.1\r\ncontent-length: 10\r\n\r\nabc", "incomplete body"},
  };
  for (const BadCase& c : cases) {
    for (std::size_t piece : kPieces) {
      SCOPED_TRACE(std::string(c.name) + ", pieces of " + std::to_string(piece));
      MemorySource source(c.bytes, piece);
      Result<HttpRequest> request = readRequest(source);
      ASSERT_FALSE(request.ok());
      EXPECT_EQ(request.error(), c.reason);
    }
  }
}

TEST(ReadRequest, AnnouncedLengthCostsNothingUntilBytesArrive) {
  // 10^18 bytes announced, three sent: a reader that reserved the announced size would run out of
  // memory instead of noticing the short body.
  MemorySource source("PUT / HTTP/1.1\r\ncontent-length: 1000000000000000000\r\n\r\nabc", 1024);
  Result<HttpRequest> request = readRequest(source);
  ASSERT_FALSE(request.ok());
  EXPECT_EQ(request.error(), "incomplete body");
}

TEST(ReadRequest, ReadFailuresCarryTheSystemText) {
  MemorySource inHead("GET / HTTP/1.1\r\n", 1024, "timed out");
  Result<HttpRequest> head = readRequest(inHead);
  ASSERT_FALSE(head.ok());
  EXPECT_EQ(head.error(), "timed out");

  MemorySource inBody("PUT / HTTP/1.1\r\ncontent-length: 9\r\n\r\nab", 1024, "timed out");
  Result<HttpRequest> body = readRequest(inBody);
  ASSERT_FALSE(body.ok());
  EXPECT_EQ(body.error(), "timed out");
}

TEST(ReadRequest, TheHeadStepReadsNoFurtherThanTheReadThatEndsTheHead) {
  // The caller decides on the head alone whether the body is worth reading: the head step must
  // not wait for body bytes, whatever the body announces, and hands over those that came along.
  const std::string head = "PUT /launch/session HTTP/1.1\r\nx-korvessa-token: t\r\n"
                           "content-length: 1099511627776\r\n\r\n";
  const std::string stream = head + std::string(5000, 'b');
  for (std::size_t piece : kPieces) {
    SCOPED_TRACE(piece);
    MemorySource source(stream, piece);
    Result<RequestHead> read = readRequestHead(source, 1000, source.clock());
    ASSERT_TRUE(read.ok()) << read.error();
    EXPECT_EQ(read->method, "PUT");
    EXPECT_EQ(read->token, "t");
    EXPECT_EQ(read->contentLength, 1099511627776u);
    EXPECT_EQ(source.consumed(), head.size() + read->received.size());
    EXPECT_EQ(read->received, stream.substr(head.size(), read->received.size()));
    EXPECT_LT(read->received.size(), std::min(piece, kReadChunkBytes));
  }
}

struct DeadlineCase {
  const char* name;
  std::size_t piece;
  unsigned msPerRead;
  std::string bytes;
  std::string outcome;  // the body, or the failure reason
  std::uint64_t endsAt;
};

TEST(ReadRequest, TheHeadIsDueByItsDeadlineTheBodyOnlyPerRead) {
  // Deadline at 10,000 ms. A trickle of a byte every 1900 ms keeps every read inside its
  // 2000 ms, so only the deadline ends it: the read at 9500 ms waits just the 500 ms left.
  const std::vector<DeadlineCase> cases = {
      {"head in time, body after the deadline", 4, 1400,
       "G /\r\ncontent-length: 9\r\n\r\nnine byte", "nine byte", 12600},
      {"trickled head", 1, 1900, "GET /health HTTP/1.1\r\n\r\n", "timed out", kHeadDeadlineMs},
      {"silent client", 1, 2500, "GET /health HTTP/1.1\r\n\r\n", "timed out", 2000},
  };
  for (const DeadlineCase& c : cases) {
    SCOPED_TRACE(c.name);
    MemorySource source(c.bytes, c.piece);
    source.msPerRead = c.msPerRead;
    Result<RequestHead> head = readRequestHead(source, kHeadDeadlineMs, source.clock());
    Result<HttpRequest> request =
        head.ok() ? readRequestBody(source, std::move(head).value()) : fail(head.error());
    EXPECT_EQ(request.ok() ? request->body : request.error(), c.outcome);
    EXPECT_EQ(source.now, c.endsAt);
    EXPECT_LE(source.longestWait, kReceiveTimeoutMs);
  }
  // No time left at all: nothing is read.
  MemorySource late("GET / HTTP/1.1\r\n\r\n", 1024);
  late.now = kHeadDeadlineMs;
  Result<RequestHead> head = readRequestHead(late, kHeadDeadlineMs, late.clock());
  ASSERT_FALSE(head.ok());
  EXPECT_EQ(head.error(), "head not complete in time");
  EXPECT_EQ(late.reads, 0);
}

// A head of exactly total bytes: request line, one filler header, the end marker.
std::string headOfSize(std::size_t total) {
  const std::string start = "GET /health HTTP/1.1\r\nx-fill: ";
  const std::string end = "\r\n\r\n";
  return start + std::string(total - start.size() - end.size(), 'a') + end;
}

TEST(ReadRequest, HeadLimitIsTestedBeforeTheMarkerSearch) {
  for (std::size_t piece : {std::size_t{1000}, std::size_t{1024}}) {
    SCOPED_TRACE(piece);
    MemorySource atLimit(headOfSize(kMaxHeadBytes), piece);
    Result<HttpRequest> fits = readRequest(atLimit);
    EXPECT_TRUE(fits.ok()) << fits.error();

    // The marker is complete but the read that brought it passed the limit.
    MemorySource overLimit(headOfSize(kMaxHeadBytes + 1), piece);
    Result<HttpRequest> tooLarge = readRequest(overLimit);
    ASSERT_FALSE(tooLarge.ok());
    EXPECT_EQ(tooLarge.error(), "request too large");

  }
  // Body bytes that arrive in the same read as the end of the head count towards the limit too.
  MemorySource withBody(headOfSize(kMaxHeadBytes - 2) + "abc", 1000);
  Result<HttpRequest> bodyCounts = readRequest(withBody);
  ASSERT_FALSE(bodyCounts.ok());
  EXPECT_EQ(bodyCounts.error(), "request too large");
}

TEST(ReadRequest, BodyHasNoLimitOfItsOwn) {
  const std::string body(200000, 'b');
  MemorySource source("PUT / HTTP/1.1\r\ncontent-length: 200000\r\n\r\n" + body, 1024);
  Result<HttpRequest> request = readRequest(source);
  ASSERT_TRUE(request.ok()) << request.error();
  EXPECT_EQ(request->body, body);
}

class OutOfMemorySource final : public ByteSource {
 public:
  platform::ReceiveResult read(char*, std::size_t, unsigned) override { throw std::bad_alloc(); }
};

TEST(ReadRequest, RunningOutOfMemoryFailsTheRequestNotTheProcess) {
  OutOfMemorySource source;
  Result<HttpRequest> request = readRequest(source);
  ASSERT_FALSE(request.ok());
  EXPECT_EQ(request.error(), "out of memory");
}

}  // namespace
}  // namespace kcs
