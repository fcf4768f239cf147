// The names of one scan's records, each NUL-terminated, in chunks that never
// move: a name stays where it was written while the scan appends more, so a
// snapshot's copy of the records can read its names without the scan's lock.
// Names go in in record order, so the records a caller is done with give
// their chunks back (releaseBelow). Part of the native core, no Qt.
#pragma once

#include <cstddef>
#include <cstdint>
#include <memory>

namespace bl {

class NameArena {
public:
    // Room for names of up to 255 bytes many times over; a chunk is the
    // unit given back.
    static constexpr uint64_t kChunkBytes = uint64_t(1) << 20;
    static constexpr size_t kMaxChunks = size_t(1) << 16; // 64 GiB of names

    NameArena() = default;
    ~NameArena();
    NameArena(const NameArena &) = delete;
    NameArena &operator=(const NameArena &) = delete;

    // Copies length bytes of name and a NUL; where they went. One writer at
    // a time (the scan's lock). Throws std::bad_alloc.
    uint64_t add(const char *name, size_t length);
    const char *at(uint64_t offset) const { return chunks_[offset / kChunkBytes] + offset % kChunkBytes; }
    // The chunks holding only names in [from, to) go back to the system.
    void release(uint64_t from, uint64_t to);
    // Bytes of names written.
    uint64_t size() const { return end_; }

private:
    std::unique_ptr<char *[]> chunks_ = std::make_unique<char *[]>(kMaxChunks);
    uint64_t end_ = 0;
};

} // namespace bl
