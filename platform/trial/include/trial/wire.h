#pragma once

// The bytes between the workbench (or pkginfo), the trial host, the shadow and the
// trial children. A frame is its length (4 bytes, little-endian, counting what
// follows), its kind (1 byte), an id (8 bytes) and a body of typed fields. Every
// end is on this machine and built from the same source: no versioning.
//
// Package code can write into the pipes a trial child holds, so whatever reads a
// frame from a child treats its bytes as hostile: every length is checked against
// what is left before it is used, and a reader keeps no more than its bound.

#include <cstdint>
#include <optional>
#include <stdexcept>
#include <string>
#include <string_view>
#include <vector>

namespace trial::wire {

// Bytes that are no frame of ours, or a frame whose body does not hold what its
// kind promises.
struct DecodeError : std::runtime_error {
  using std::runtime_error::runtime_error;
};

inline constexpr std::size_t kHeaderSize = 4 + 1 + 8;

// The body of a frame, field by field.
class Writer {
 public:
  Writer& U8(std::uint8_t value);
  Writer& U32(std::uint32_t value);
  Writer& U64(std::uint64_t value);
  Writer& I64(std::int64_t value) { return U64(static_cast<std::uint64_t>(value)); }
  Writer& Bool(bool value) { return U8(value ? 1 : 0); }
  Writer& Text(std::string_view text);
  Writer& Texts(const std::vector<std::string>& texts);

  // The whole frame: header, then the fields written so far.
  std::string Frame(std::uint8_t kind, std::uint64_t id) const;

 private:
  std::string body_;
};

// Reads the fields of one body in the order they were written; throws DecodeError
// when the body ends early or a value is out of range.
class Reader {
 public:
  explicit Reader(std::string_view body) : rest_(body) {}
  std::uint8_t U8();
  std::uint32_t U32();
  std::uint64_t U64();
  std::int64_t I64() { return static_cast<std::int64_t>(U64()); }
  bool Bool();
  std::string Text();
  std::vector<std::string> Texts();
  // A count of items that each take at least `smallest` bytes: refused when the body
  // could not hold that many, before anything is allocated for them.
  std::uint32_t Count(std::size_t smallest);
  // Throws unless the whole body has been read.
  void End() const;

 private:
  std::string_view Take(std::size_t size);
  std::string_view rest_;
};

struct Frame {
  std::uint8_t kind = 0;
  std::uint64_t id = 0;
  std::string body;
};

// Cuts frames out of a byte stream fed in pieces as they arrive. A frame longer
// than maxFrame, or more than maxBuffered bytes waiting, is a DecodeError: the
// reader never holds more than that, whatever the writer sends.
class FrameReader {
 public:
  FrameReader(std::size_t maxFrame, std::size_t maxBuffered);
  void Feed(std::string_view bytes);
  // The next complete frame, nothing while only part of one has arrived.
  std::optional<Frame> Next();
  // Bytes of a frame begun and not finished.
  std::size_t Pending() const noexcept { return buffer_.size() - at_; }

 private:
  std::size_t maxFrame_;
  std::size_t maxBuffered_;
  std::string buffer_;
  std::size_t at_ = 0;  // where the next frame starts in buffer_
};

// Writes all of it, going on after interruptions. On a socket it never raises
// SIGPIPE. False when the other end is gone.
bool WriteAll(int fd, std::string_view bytes);

}  // namespace trial::wire
