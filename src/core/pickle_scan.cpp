// Opcode walker over pickle protocols 0 to 5 and the split read of a pickle file.
#include "core/pickle_scan.hpp"

#include <unistd.h>

#include <algorithm>
#include <array>
#include <cerrno>
#include <condition_variable>
#include <cstring>
#include <mutex>
#include <thread>

#include "core/hash.hpp"

namespace orvane {
namespace {

constexpr unsigned char kNextBuffer = 0x97;

// Small windowed reader: opcodes and short arguments come from a buffer refilled with pread.
class Cursor {
 public:
  Cursor(int fd, std::uint64_t size) : fd_(fd), size_(size) {}

  std::uint64_t pos() const { return pos_; }
  void skip(std::uint64_t n) { pos_ += n; }

  bool read(void* out, std::size_t n) {
    if (pos_ + n > size_) return false;
    if (pos_ < win_start_ || pos_ + n > win_start_ + win_.size()) {
      win_start_ = pos_;
      win_.resize(static_cast<std::size_t>(std::min<std::uint64_t>(kWindow, size_ - pos_)));
      std::size_t got = 0;
      while (got < win_.size()) {
        ssize_t r =
            ::pread(fd_, win_.data() + got, win_.size() - got, static_cast<off_t>(pos_ + got));
        if (r < 0 && errno == EINTR) continue;
        if (r <= 0) return false;
        got += static_cast<std::size_t>(r);
      }
      if (n > win_.size()) return false;
    }
    std::memcpy(out, win_.data() + (pos_ - win_start_), n);
    pos_ += n;
    return true;
  }

  template <typename T>
  bool read_le(T* value) {
    unsigned char b[sizeof(T)];
    if (!read(b, sizeof(T))) return false;
    std::uint64_t v = 0;
    for (std::size_t i = 0; i < sizeof(T); ++i) v |= static_cast<std::uint64_t>(b[i]) << (8 * i);
    *value = static_cast<T>(v);
    return true;
  }

  // Protocol 0 arguments end with a newline.
  bool skip_line() {
    unsigned char c;
    do {
      if (!read(&c, 1)) return false;
    } while (c != '\n');
    return true;
  }

 private:
  static constexpr std::size_t kWindow = 1 << 16;
  int fd_;
  std::uint64_t size_;
  std::uint64_t pos_ = 0;
  std::uint64_t win_start_ = 0;
  std::string win_;
};

// Length in bytes of the fixed-size argument of an opcode; -1 when it has another form.
int fixed_arg(unsigned char op) {
  switch (op) {
    case '(':
    case '.':
    case '0':
    case '1':
    case '2':
    case 'N':
    case 'R':
    case 'a':
    case 'b':
    case 'd':
    case '}':
    case 'e':
    case 'l':
    case ']':
    case 'o':
    case 's':
    case 't':
    case ')':
    case 'u':
    case 'Q':
    case 0x81:
    case 0x85:
    case 0x86:
    case 0x87:
    case 0x88:
    case 0x89:
    case 0x8f:
    case 0x90:
    case 0x91:
    case 0x92:
    case 0x93:
    case 0x94:
    case 0x97:
    case 0x98:
      return 0;
    case 'K':
    case 'h':
    case 'q':
    case 0x82:
    case 0x80:
      return 1;
    case 'M':
    case 0x83:
      return 2;
    case 'J':
    case 'j':
    case 'r':
    case 0x84:
      return 4;
    case 'G':
      return 8;
    default:
      return -1;
  }
}

// Width of the length prefix of a counted argument; 0 when the opcode is not one.
int length_prefix(unsigned char op) {
  switch (op) {
    case 'U':
    case 'C':
    case 0x8c:
    case 0x8a:
      return 1;
    case 'T':
    case 'B':
    case 'X':
    case 0x8b:
      return 4;
    case 0x8d:
    case 0x8e:
    case 0x96:
      return 8;
    default:
      return 0;
  }
}

}  // namespace

std::optional<std::vector<PicklePayload>> scan_pickle_payloads(int fd, std::uint64_t file_size,
                                                               std::uint64_t threshold) {
  Cursor cur(fd, file_size);
  std::vector<PicklePayload> found;
  std::uint64_t frame_end = 0;
  for (;;) {
    const std::uint64_t op_offset = cur.pos();
    unsigned char op;
    if (!cur.read(&op, 1)) return std::nullopt;
    if (op == '.') {
      // Trailing bytes after STOP are not ours to interpret.
      if (cur.pos() != file_size) return std::nullopt;
      return found;
    }
    if (op == 0x95) {  // FRAME: its opcodes follow inline; remember where it ends
      std::uint64_t len;
      if (!cur.read_le(&len)) return std::nullopt;
      frame_end = cur.pos() + len;
      continue;
    }
    if (int n = fixed_arg(op); n >= 0) {
      cur.skip(static_cast<std::uint64_t>(n));
      continue;
    }
    if (int width = length_prefix(op); width > 0) {
      std::uint64_t len = 0;
      std::uint8_t len1 = 0;
      std::uint32_t len4 = 0;
      bool ok = width == 1   ? cur.read_le(&len1)
                : width == 4 ? cur.read_le(&len4)
                             : cur.read_le(&len);
      if (!ok) return std::nullopt;
      if (width == 1) len = len1;
      if (width == 4) len = len4;
      const std::uint64_t data_offset = cur.pos();
      if (data_offset + len > file_size) return std::nullopt;
      if ((op == 0x96 || op == 0x8e) && len >= threshold && op_offset >= frame_end) {
        found.push_back({op_offset, data_offset, len, op == 0x96});
      }
      cur.skip(len);
      continue;
    }
    switch (op) {
      case 'I':
      case 'L':
      case 'S':
      case 'V':
      case 'F':
      case 'g':
      case 'p':
      case 'P':
        if (!cur.skip_line()) return std::nullopt;
        continue;
      case 'c':
      case 'i':
        if (!cur.skip_line() || !cur.skip_line()) return std::nullopt;
        continue;
      default:
        return std::nullopt;
    }
  }
}

std::uint64_t split_stream_size(std::uint64_t file_size,
                                const std::vector<PicklePayload>& payloads) {
  std::uint64_t size = file_size;
  for (const PicklePayload& p : payloads) size -= (p.data_offset + p.size - p.op_offset) - 1;
  return size;
}

std::uint64_t read_pickle_split(int fd, std::uint64_t file_size,
                                const std::vector<PicklePayload>& payloads,
                                const std::vector<char*>& destinations, char* stream, int* error) {
  // Where each byte of the file goes, in file order. The opcode and length prefix of a payload
  // (at most nine bytes) are read and hashed but left out of the stream.
  struct Segment {
    std::uint64_t offset;
    std::uint64_t size;
    char* dest;
  };
  std::vector<Segment> segments;
  std::vector<std::array<char, 16>> headers(payloads.size());
  std::uint64_t pos = 0;
  char* out = stream;
  for (std::size_t i = 0; i < payloads.size(); ++i) {
    const PicklePayload& p = payloads[i];
    segments.push_back({pos, p.op_offset - pos, out});
    out += p.op_offset - pos;
    segments.push_back({p.op_offset, p.data_offset - p.op_offset, headers[i].data()});
    *out++ = static_cast<char>(kNextBuffer);
    segments.push_back({p.data_offset, p.size, destinations[i]});
    pos = p.data_offset + p.size;
  }
  segments.push_back({pos, file_size - pos, out});

  // The checksum runs on a second thread, chunk by chunk behind the reads, so a large blob
  // costs about its read time instead of read plus hash.
  constexpr std::uint64_t kChunk = 4u << 20;
  std::mutex mutex;
  std::condition_variable ready_cv;
  std::uint64_t ready = 0;  // bytes of the file read so far (in segment order)
  bool failed = false;
  Xxh64 hash;
  std::thread hasher([&] {
    std::uint64_t hashed = 0;
    for (const Segment& seg : segments) {
      std::uint64_t done = 0;
      while (done < seg.size) {
        std::uint64_t available;
        {
          std::unique_lock<std::mutex> lock(mutex);
          ready_cv.wait(lock, [&] { return failed || ready > hashed; });
          if (failed) return;
          available = ready - hashed;
        }
        const std::uint64_t n = std::min(available, seg.size - done);
        hash.update(seg.dest + done, static_cast<std::size_t>(n));
        done += n;
        hashed += n;
      }
    }
  });

  *error = 0;
  for (const Segment& seg : segments) {
    std::uint64_t done = 0;
    while (done < seg.size && *error == 0) {
      const auto want = static_cast<std::size_t>(std::min(kChunk, seg.size - done));
      ssize_t r = ::pread(fd, seg.dest + done, want, static_cast<off_t>(seg.offset + done));
      if (r < 0 && errno == EINTR) continue;
      if (r <= 0) {
        *error = r < 0 ? errno : EIO;
        break;
      }
      done += static_cast<std::uint64_t>(r);
      {
        std::lock_guard<std::mutex> lock(mutex);
        ready += static_cast<std::uint64_t>(r);
      }
      ready_cv.notify_one();
    }
    if (*error != 0) break;
  }
  if (*error != 0) {
    std::lock_guard<std::mutex> lock(mutex);
    failed = true;
  }
  ready_cv.notify_one();
  hasher.join();
  return *error == 0 ? hash.digest() : 0;
}

}  // namespace orvane
