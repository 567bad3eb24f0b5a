#pragma once

// The bytes between a trial client, the trial host and the host's trial children.
// A message is its length (4 bytes, host order, the rest of the message), its kind
// (one byte) and its fields, each a 4-byte length and that many bytes. Every end
// is on this machine and built from the same source, so there is no versioning.

#include <cstdint>
#include <optional>
#include <string>
#include <string_view>
#include <vector>

namespace trial {

// Message kinds.
inline constexpr char kHello = 'H';    // host: ready; its process id
inline constexpr char kRequest = 'Q';  // client: one trial (see trial_client.cpp)
inline constexpr char kStage = 'S';    // child: a stage begins; kind, package, unit or procedure
inline constexpr char kCall = 'C';     // child: a registration call; page, class names
inline constexpr char kFailure = 'F';  // child: an exception; where, message
inline constexpr char kMissing = 'M';  // child: a procedure not exported; its name
inline constexpr char kDone = 'D';     // child: everything asked for has returned
inline constexpr char kEnd = 'X';      // host: how the child ended; how, value

class Message {
 public:
  explicit Message(char kind);
  Message& Add(std::string_view field);
  Message& Add(std::uint64_t number);  // as decimal text
  // The whole message, length first.
  const std::string& Bytes() const noexcept { return bytes_; }

 private:
  std::string bytes_;
};

struct Received {
  char kind = 0;
  std::vector<std::string> fields;
  // The field at that index read as a number; throws std::runtime_error when it is
  // missing or not one.
  std::uint64_t Number(std::size_t index) const;
  const std::string& Text(std::size_t index) const;
};

// Takes the first complete message off the front of the buffer; nothing while the
// buffer holds only part of one. Throws std::runtime_error on a malformed message.
std::optional<Received> TakeMessage(std::string& buffer);

// The length of the complete messages at the front of the buffer: a message cut off
// by a process that died while writing it is left out.
std::size_t CompleteLength(std::string_view buffer);

// Writes all of it, going on after interruptions. On a socket it never raises
// SIGPIPE. False when the other end is gone.
bool WriteAll(int fd, std::string_view bytes);

}  // namespace trial
