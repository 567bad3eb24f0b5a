#include "trial_protocol.h"

#include <sys/socket.h>
#include <unistd.h>

#include <cerrno>
#include <charconv>
#include <cstring>
#include <stdexcept>

namespace trial {

namespace {

// Far above anything a trial sends (a few names per stage), far below what would
// strain memory: a length beyond it can only be a damaged stream.
constexpr std::uint32_t kMaxMessage = 64u << 20;

void AppendLength(std::string& bytes, std::uint32_t length) {
  bytes.append(reinterpret_cast<const char*>(&length), sizeof length);
}

std::uint32_t LengthAt(std::string_view bytes, std::size_t at) {
  std::uint32_t length = 0;
  std::memcpy(&length, bytes.data() + at, sizeof length);
  return length;
}

}  // namespace

Message::Message(char kind) {
  AppendLength(bytes_, 1);
  bytes_.push_back(kind);
}

Message& Message::Add(std::string_view field) {
  AppendLength(bytes_, static_cast<std::uint32_t>(field.size()));
  bytes_.append(field);
  const auto length = static_cast<std::uint32_t>(bytes_.size() - sizeof(std::uint32_t));
  std::memcpy(bytes_.data(), &length, sizeof length);
  return *this;
}

Message& Message::Add(std::uint64_t number) {
  return Add(std::to_string(number));
}

std::uint64_t Received::Number(std::size_t index) const {
  const std::string& text = Text(index);
  std::uint64_t value = 0;
  const auto [end, error] = std::from_chars(text.data(), text.data() + text.size(), value);
  if (error != std::errc() || end != text.data() + text.size() || text.empty()) {
    throw std::runtime_error("trial message " + std::string(1, kind) + ": field " +
                             std::to_string(index) + " is not a number");
  }
  return value;
}

const std::string& Received::Text(std::size_t index) const {
  if (index >= fields.size()) {
    throw std::runtime_error("trial message " + std::string(1, kind) + ": no field " +
                             std::to_string(index));
  }
  return fields[index];
}

std::size_t CompleteLength(std::string_view buffer) {
  std::size_t at = 0;
  while (buffer.size() - at >= sizeof(std::uint32_t)) {
    const std::uint32_t length = LengthAt(buffer, at);
    if (length == 0 || length > kMaxMessage) break;
    if (buffer.size() - at - sizeof length < length) break;
    at += sizeof length + length;
  }
  return at;
}

std::optional<Received> TakeMessage(std::string& buffer) {
  if (buffer.size() < sizeof(std::uint32_t)) return std::nullopt;
  const std::uint32_t length = LengthAt(buffer, 0);
  if (length == 0 || length > kMaxMessage) {
    throw std::runtime_error("trial message of impossible length " + std::to_string(length));
  }
  if (buffer.size() - sizeof length < length) return std::nullopt;
  Received message;
  std::size_t at = sizeof length;
  const std::size_t end = at + length;
  message.kind = buffer[at++];
  while (at < end) {
    if (end - at < sizeof(std::uint32_t)) throw std::runtime_error("trial message cut in a field");
    const std::uint32_t size = LengthAt(buffer, at);
    at += sizeof size;
    if (end - at < size) throw std::runtime_error("trial message field runs past its end");
    message.fields.emplace_back(buffer, at, size);
    at += size;
  }
  buffer.erase(0, end);
  return message;
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

}  // namespace trial
