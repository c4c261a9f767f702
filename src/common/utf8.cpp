// UTF-8 well-formedness follows the table of well-formed byte sequences in the Unicode standard:
// the second byte's range depends on the lead byte, which rules out overlongs, surrogates and
// anything above U+10FFFF without a separate check.
#include "common/utf8.h"

#include <cstddef>
#include <cstdint>
#include <cstring>

namespace kcs {
namespace {

struct Step {
  char32_t codePoint;   // meaningful only when valid
  std::size_t length;   // bytes consumed; for an invalid sequence, its maximal subpart (at least 1)
  bool valid;
};

bool inRange(unsigned char byte, unsigned char low, unsigned char high) {
  return byte >= low && byte <= high;
}

// Decodes the sequence that starts at bytes[pos]; pos < bytes.size().
Step decodeOne(std::string_view bytes, std::size_t pos) {
  const auto at = [&](std::size_t i) { return static_cast<unsigned char>(bytes[pos + i]); };
  const unsigned char lead = at(0);
  if (lead < 0x80) return {lead, 1, true};

  std::size_t need = 0;
  unsigned char secondLow = 0x80;
  unsigned char secondHigh = 0xBF;
  char32_t value = 0;
  if (inRange(lead, 0xC2, 0xDF)) {
    need = 1;
    value = lead & 0x1F;
  } else if (inRange(lead, 0xE0, 0xEF)) {
    need = 2;
    value = lead & 0x0F;
    if (lead == 0xE0) secondLow = 0xA0;   // no overlongs
    if (lead == 0xED) secondHigh = 0x9F;  // no surrogates
  } else if (inRange(lead, 0xF0, 0xF4)) {
    need = 3;
    value = lead & 0x07;
    if (lead == 0xF0) secondLow = 0x90;   // no overlongs
    if (lead == 0xF4) secondHigh = 0x8F;  // nothing above U+10FFFF
  } else {
    return {0, 1, false};  // continuation byte, C0, C1 or F5..FF
  }

  const std::size_t available = bytes.size() - pos - 1;
  for (std::size_t i = 1; i <= need; ++i) {
    if (i > available) return {0, i, false};
    const unsigned char byte = at(i);
    const bool fits = i == 1 ? inRange(byte, secondLow, secondHigh) : inRange(byte, 0x80, 0xBF);
    if (!fits) return {0, i, false};
    value = (value << 6) | (byte & 0x3F);
  }
  return {value, need + 1, true};
}

// The end of the run of ASCII bytes from pos: eight bytes at a time while no high bit is set,
// since logs and heads are almost all ASCII.
std::size_t asciiRun(std::string_view bytes, std::size_t pos) {
  constexpr std::uint64_t kHighBits = 0x8080808080808080ULL;
  while (bytes.size() - pos >= sizeof(std::uint64_t)) {
    std::uint64_t word;
    std::memcpy(&word, bytes.data() + pos, sizeof(word));
    if ((word & kHighBits) != 0) break;
    pos += sizeof(word);
  }
  while (pos < bytes.size() && static_cast<unsigned char>(bytes[pos]) < 0x80) ++pos;
  return pos;
}

// The code point that ends at bytes[end - 1] in valid UTF-8, and its length.
Step decodeLast(std::string_view text, std::size_t end) {
  std::size_t start = end - 1;
  while (start > 0 && (static_cast<unsigned char>(text[start]) & 0xC0) == 0x80) --start;
  return decodeOne(text, start);
}

}  // namespace

bool isValidUtf8(std::string_view bytes) {
  std::size_t pos = 0;
  while (true) {
    pos = asciiRun(bytes, pos);
    if (pos == bytes.size()) return true;
    const Step step = decodeOne(bytes, pos);
    if (!step.valid) return false;
    pos += step.length;
  }
}

std::string decodeUtf8Lossy(std::string_view bytes) {
  static constexpr std::string_view kReplacement = "\xEF\xBF\xBD";
  std::string out;
  out.reserve(bytes.size());
  std::size_t pos = 0;
  while (pos < bytes.size()) {
    const std::size_t runEnd = asciiRun(bytes, pos);
    out.append(bytes.substr(pos, runEnd - pos));
    pos = runEnd;
    if (pos == bytes.size()) break;
    const Step step = decodeOne(bytes, pos);
    if (step.valid) {
      out.append(bytes.substr(pos, step.length));
    } else {
      out.append(kReplacement);
    }
    pos += step.length;
  }
  return out;
}

std::size_t incompleteUtf8Suffix(std::string_view bytes) {
  // A sequence is at most four bytes long, so an unfinished one starts in the last three.
  for (std::size_t back = 1; back <= 3 && back <= bytes.size(); ++back) {
    const std::size_t pos = bytes.size() - back;
    const auto byte = static_cast<unsigned char>(bytes[pos]);
    if ((byte & 0xC0) == 0x80) continue;  // a continuation byte: the lead is further back
    if (!inRange(byte, 0xC2, 0xF4)) return 0;
    // decodeOne reports a sequence cut short by the end with a length of all the bytes left;
    // one broken by a wrong byte is shorter than that.
    const Step step = decodeOne(bytes, pos);
    return !step.valid && step.length == back ? back : 0;
  }
  return 0;
}

bool isUnicodeWhiteSpace(char32_t c) {
  switch (c) {
    case 0x09: case 0x0A: case 0x0B: case 0x0C: case 0x0D: case 0x20:
    case 0x85: case 0xA0: case 0x1680:
    case 0x2028: case 0x2029: case 0x202F: case 0x205F: case 0x3000:
      return true;
    default:
      return c >= 0x2000 && c <= 0x200A;
  }
}

std::string_view trimUnicodeWhiteSpace(std::string_view text) {
  std::size_t begin = 0;
  while (begin < text.size()) {
    const Step step = decodeOne(text, begin);
    if (!step.valid || !isUnicodeWhiteSpace(step.codePoint)) break;
    begin += step.length;
  }
  std::size_t end = text.size();
  while (end > begin) {
    const Step step = decodeLast(text, end);
    if (!step.valid || !isUnicodeWhiteSpace(step.codePoint)) break;
    end -= step.length;
  }
  return text.substr(begin, end - begin);
}

std::vector<std::string_view> splitUnicodeWhiteSpace(std::string_view text) {
  std::vector<std::string_view> pieces;
  std::size_t pos = 0;
  std::size_t pieceStart = 0;
  bool inPiece = false;
  while (pos < text.size()) {
    const Step step = decodeOne(text, pos);
    const bool space = step.valid && isUnicodeWhiteSpace(step.codePoint);
    if (space && inPiece) {
      pieces.push_back(text.substr(pieceStart, pos - pieceStart));
      inPiece = false;
    } else if (!space && !inPiece) {
      pieceStart = pos;
      inPiece = true;
    }
    pos += step.length;
  }
  if (inPiece) pieces.push_back(text.substr(pieceStart));
  return pieces;
}

}  // namespace kcs
