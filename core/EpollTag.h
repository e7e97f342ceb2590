#pragma once
// What an epoll entry of the socket array stands for, packed into its 64-bit
// user data: the kind of socket, its index among its kind and the generation
// of the connection it was made for, so that an event of a socket that has
// since been replaced on the same index is recognised and dropped.
#include <cstddef>
#include <cstdint>

namespace epolltag {

enum Kind : std::uint64_t { kListener = 0, kSlot = 1, kLingering = 2 };

inline std::uint64_t Make(Kind kind, std::size_t index, std::uint32_t generation) {
  return (std::uint64_t(generation) << 32) | (std::uint64_t(kind) << 24) | std::uint64_t(index);
}
inline Kind KindOf(std::uint64_t tag) { return Kind((tag >> 24) & 0xFF); }
inline std::size_t IndexOf(std::uint64_t tag) { return tag & 0xFFFFFF; }
inline std::uint32_t GenerationOf(std::uint64_t tag) { return std::uint32_t(tag >> 32); }

}  // namespace epolltag
