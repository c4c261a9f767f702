#include "discord_ipc/frame_decoder.h"

#include <gtest/gtest.h>

#include <string>
#include <vector>

namespace kcs::ipc {
namespace {

// Written out byte by byte here rather than with the service's own frame writer.
std::string frameBytes(std::uint32_t opcode, const std::string& payload) {
  std::string bytes;
  for (std::uint32_t value : {opcode, static_cast<std::uint32_t>(payload.size())}) {
    for (int i = 0; i < 4; ++i) bytes += static_cast<char>((value >> (8 * i)) & 0xFF);
  }
  return bytes + payload;
}

TEST(FrameDecoder, FramesComeOutWholeHoweverTheStreamIsCut) {
  const std::vector<IpcFrame> sent = {
      {1, R"({"cmd":"DISPATCH","evt":"READY"})"},
      {3, "ping"},
      {0x01020304u, ""},  // unknown opcodes pass through for the reader to skip
      {1, std::string(300, 'x')},
      {2, R"({"code":4000})"},
  };
  std::string stream;
  for (const IpcFrame& frame : sent) stream += frameBytes(frame.opcode, frame.payload);

  for (std::size_t piece : {std::size_t{1}, std::size_t{3}, std::size_t{7}, std::size_t{8},
                            std::size_t{100}, stream.size()}) {
    FrameDecoder decoder(1024);
    std::vector<IpcFrame> received;
    for (std::size_t at = 0; at < stream.size(); at += piece) {
      decoder.feed(std::string_view(stream).substr(at, piece));
      for (;;) {
        Result<std::optional<IpcFrame>> next = decoder.next();
        ASSERT_TRUE(next.ok()) << next.error();
        if (!next->has_value()) break;
        received.push_back(**next);
      }
      // Bytes of a frame not yet complete are held, and only then.
      const std::size_t fed = std::min(at + piece, stream.size());
      std::size_t boundary = 0;
      for (const IpcFrame& frame : sent) {
        if (boundary == fed) break;
        boundary += 8 + frame.payload.size();
      }
      EXPECT_EQ(decoder.midFrame(), boundary != fed) << "piece " << piece << " at " << fed;
    }
    ASSERT_EQ(received.size(), sent.size()) << "piece " << piece;
    for (std::size_t i = 0; i < sent.size(); ++i) {
      EXPECT_EQ(received[i].opcode, sent[i].opcode) << "piece " << piece << " frame " << i;
      EXPECT_EQ(received[i].payload, sent[i].payload) << "piece " << piece << " frame " << i;
    }
  }
}

TEST(FrameDecoder, ALengthBeyondTheBoundFailsOnItsHeaderAlone) {
  FrameDecoder decoder(64);
  decoder.feed(frameBytes(1, std::string(64, 'a')));  // exactly the bound: accepted
  Result<std::optional<IpcFrame>> atBound = decoder.next();
  ASSERT_TRUE(atBound.ok());
  ASSERT_TRUE(atBound->has_value());
  EXPECT_EQ((*atBound)->payload.size(), 64u);

  // A header claiming 4 GiB: refused at once, without waiting for (or reserving) its payload.
  decoder.feed(std::string("\x01\x00\x00\x00\xFF\xFF\xFF\xFF", 8));
  EXPECT_EQ(decoder.announcedLength(), 0xFFFFFFFFu);
  Result<std::optional<IpcFrame>> huge = decoder.next();
  ASSERT_FALSE(huge.ok());
  EXPECT_NE(huge.error().find("4294967295"), std::string::npos) << huge.error();

  FrameDecoder justOver(64);
  justOver.feed(frameBytes(1, std::string(65, 'a')).substr(0, 8));
  EXPECT_FALSE(justOver.next().ok());
}

}  // namespace
}  // namespace kcs::ipc
