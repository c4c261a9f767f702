#include "discord_ipc/frame_decoder.h"

#include <utility>

namespace kcs::ipc {
namespace {

constexpr std::size_t kHeaderSize = 8;

std::uint32_t littleEndian(std::string_view bytes) {
  std::uint32_t value = 0;
  for (std::size_t i = 0; i < 4; ++i) {
    value |= static_cast<std::uint32_t>(static_cast<unsigned char>(bytes[i])) << (8 * i);
  }
  return value;
}

}  // namespace

std::optional<std::uint32_t> FrameDecoder::announcedLength() const {
  if (buffer_.size() < kHeaderSize) return std::nullopt;
  return littleEndian(std::string_view(buffer_).substr(4, 4));
}

Result<std::optional<IpcFrame>> FrameDecoder::next() {
  const std::optional<std::uint32_t> announced = announcedLength();
  if (!announced) return std::optional<IpcFrame>();
  const std::uint32_t length = *announced;
  if (length > maxPayload_) {
    return fail("a frame announces " + std::to_string(length) + " bytes, more than the " +
                std::to_string(maxPayload_) + " accepted");
  }
  if (buffer_.size() - kHeaderSize < length) return std::optional<IpcFrame>();
  IpcFrame frame{littleEndian(buffer_), buffer_.substr(kHeaderSize, length)};
  buffer_.erase(0, kHeaderSize + length);
  return std::optional<IpcFrame>(std::move(frame));
}

}  // namespace kcs::ipc
