// Finds the large byte payloads in a pickle file so they can be read straight into their final
// objects instead of being copied out of the stream by the unpickler.
//
// A payload written in-band (BYTEARRAY8 or BINBYTES8) is replaced in the rewritten stream by
// NEXT_BUFFER, and the object read from the file is handed to the unpickler as that buffer;
// NEXT_BUFFER pushes the object itself, so a bytearray stays a bytearray and bytes stay bytes.
#pragma once

#include <cstddef>
#include <cstdint>
#include <optional>
#include <string>
#include <vector>

namespace orvane {

struct PicklePayload {
  std::uint64_t op_offset = 0;    // where the opcode starts
  std::uint64_t data_offset = 0;  // where the payload bytes start
  std::uint64_t size = 0;
  bool bytearray = false;  // BYTEARRAY8 (else BINBYTES8)
};

// Walks the opcodes of the pickle in file descriptor `fd` (length `file_size`) and lists the
// payloads of at least `threshold` bytes that lie outside a frame. Payload bytes are skipped,
// not read. Returns nothing when the stream holds an opcode this walker does not know or ends
// early; the caller then unpickles the file as it stands.
std::optional<std::vector<PicklePayload>> scan_pickle_payloads(int fd, std::uint64_t file_size,
                                                               std::uint64_t threshold);

// Size of the rewritten stream: the file without the payloads, one NEXT_BUFFER for each.
std::uint64_t split_stream_size(std::uint64_t file_size,
                                const std::vector<PicklePayload>& payloads);

// Reads the whole file once in order, hashing every byte: payload bytes go to their
// destinations, everything else (with each payload's opcode and length replaced by NEXT_BUFFER)
// to `stream`, which holds split_stream_size() bytes. Returns the XXH64 of the file; on a read
// failure sets `*error` to the errno value.
std::uint64_t read_pickle_split(int fd, std::uint64_t file_size,
                                const std::vector<PicklePayload>& payloads,
                                const std::vector<char*>& destinations, char* stream, int* error);

}  // namespace orvane
