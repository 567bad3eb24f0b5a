#include "trial/wire.h"

#include <sys/socket.h>
#include <unistd.h>

#include <cerrno>
#include <cstring>

namespace trial::wire {

namespace {

template <typename T>
void Append(std::string& out, T value) {
  unsigned char bytes[sizeof value];
  for (std::size_t i = 0; i < sizeof value; ++i) {
    bytes[i] = static_cast<unsigned char>(value >> (8 * i));
  }
  out.append(reinterpret_cast<const char*>(bytes), sizeof bytes);
}

template <typename T>
T Decode(std::string_view bytes) {
  T value = 0;
  for (std::size_t i = 0; i < sizeof value; ++i) {
    value |= static_cast<T>(static_cast<unsigned char>(bytes[i])) << (8 * i);
  }
  return value;
}

}  // namespace

Writer& Writer::U8(std::uint8_t value) {
  body_.push_back(static_cast<char>(value));
  return *this;
}

Writer& Writer::U32(std::uint32_t value) {
  Append(body_, value);
  return *this;
}

Writer& Writer::U64(std::uint64_t value) {
  Append(body_, value);
  return *this;
}

Writer& Writer::Text(std::string_view text) {
  U32(static_cast<std::uint32_t>(text.size()));
  body_.append(text);
  return *this;
}

Writer& Writer::Texts(const std::vector<std::string>& texts) {
  U32(static_cast<std::uint32_t>(texts.size()));
  for (const std::string& text : texts) Text(text);
  return *this;
}

std::string Writer::Frame(std::uint8_t kind, std::uint64_t id) const {
  std::string frame;
  frame.reserve(kHeaderSize + body_.size());
  Append(frame, static_cast<std::uint32_t>(1 + 8 + body_.size()));
  frame.push_back(static_cast<char>(kind));
  Append(frame, id);
  frame += body_;
  return frame;
}

std::string_view Reader::Take(std::size_t size) {
  if (rest_.size() < size) {
    throw DecodeError("a field runs past the end of its message (" + std::to_string(size) +
                      " bytes wanted, " + std::to_string(rest_.size()) + " left)");
  }
  const std::string_view taken = rest_.substr(0, size);
  rest_.remove_prefix(size);
  return taken;
}

std::uint8_t Reader::U8() {
  return static_cast<std::uint8_t>(Take(1)[0]);
}

std::uint32_t Reader::U32() {
  return Decode<std::uint32_t>(Take(4));
}

std::uint64_t Reader::U64() {
  return Decode<std::uint64_t>(Take(8));
}

bool Reader::Bool() {
  const std::uint8_t value = U8();
  if (value > 1) throw DecodeError("a yes-or-no field holds " + std::to_string(value));
  return value == 1;
}

std::string Reader::Text() {
  const std::uint32_t size = U32();
  return std::string(Take(size));
}

std::uint32_t Reader::Count(std::size_t smallest) {
  const std::uint32_t count = U32();
  if (smallest > 0 && count > rest_.size() / smallest) {
    throw DecodeError("a list of " + std::to_string(count) + " items in " +
                      std::to_string(rest_.size()) + " bytes");
  }
  return count;
}

std::vector<std::string> Reader::Texts() {
  std::vector<std::string> texts(Count(4));
  for (std::string& text : texts) text = Text();
  return texts;
}

void Reader::End() const {
  if (!rest_.empty()) {
    throw DecodeError(std::to_string(rest_.size()) + " bytes left over after the last field");
  }
}

FrameReader::FrameReader(std::size_t maxFrame, std::size_t maxBuffered)
    : maxFrame_(maxFrame), maxBuffered_(maxBuffered) {}

void FrameReader::Feed(std::string_view bytes) {
  if (Pending() + bytes.size() > maxBuffered_) {
    throw DecodeError("more than " + std::to_string(maxBuffered_) + " bytes waiting to be read");
  }
  // What was taken already goes first, so the buffer holds one frame's worth.
  if (at_ > 0) {
    buffer_.erase(0, at_);
    at_ = 0;
  }
  buffer_.append(bytes);
}

std::optional<Frame> FrameReader::Next() {
  const std::string_view rest = std::string_view(buffer_).substr(at_);
  if (rest.size() < 4) return std::nullopt;
  const auto length = Decode<std::uint32_t>(rest);
  if (length < 1 + 8) throw DecodeError("a message of " + std::to_string(length) + " bytes");
  if (length > maxFrame_) {
    throw DecodeError("a message of " + std::to_string(length) + " bytes, above the " +
                      std::to_string(maxFrame_) + " allowed");
  }
  if (rest.size() - 4 < length) return std::nullopt;
  Frame frame;
  frame.kind = static_cast<std::uint8_t>(rest[4]);
  frame.id = Decode<std::uint64_t>(rest.substr(5));
  frame.body.assign(rest.substr(kHeaderSize, length - 1 - 8));
  at_ += 4 + length;
  return frame;
}

bool WriteAll(int fd, std::string_view bytes) {
  bool socket = true;
  while (!bytes.empty()) {
    ssize_t written = socket ? ::send(fd, bytes.data(), bytes.size(), MSG_NOSIGNAL) : -1;
    if (written < 0 && socket && errno == ENOTSOCK) {
      socket = false;
      continue;
    }
    if (!socket) written = ::write(fd, bytes.data(), bytes.size());
    if (written < 0) {
      if (errno == EINTR) continue;
      return false;
    }
    bytes.remove_prefix(static_cast<std::size_t>(written));
  }
  return true;
}

}  // namespace trial::wire
