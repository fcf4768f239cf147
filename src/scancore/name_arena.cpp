#include "name_arena.h"

#include <cstdlib>
#include <cstring>
#include <new>

namespace bl {

NameArena::~NameArena()
{
    for (size_t i = 0; i < kMaxChunks && i * kChunkBytes < end_ + kChunkBytes; ++i)
        std::free(chunks_[i]);
}

uint64_t NameArena::add(const char *name, size_t length)
{
    if (length + 1 > kChunkBytes)
        throw std::bad_alloc();
    uint64_t at = end_;
    // A name never straddles two chunks.
    if (at / kChunkBytes != (at + length) / kChunkBytes)
        at = (at / kChunkBytes + 1) * kChunkBytes;
    const size_t chunk = size_t(at / kChunkBytes);
    if (chunk >= kMaxChunks)
        throw std::bad_alloc();
    if (!chunks_[chunk] && !(chunks_[chunk] = static_cast<char *>(std::malloc(kChunkBytes))))
        throw std::bad_alloc();
    char *to = chunks_[chunk] + at % kChunkBytes;
    std::memcpy(to, name, length);
    to[length] = '\0';
    end_ = at + length + 1;
    return at;
}

void NameArena::release(uint64_t from, uint64_t to)
{
    for (uint64_t c = (from + kChunkBytes - 1) / kChunkBytes; (c + 1) * kChunkBytes <= to && c < kMaxChunks; ++c) {
        std::free(chunks_[c]);
        chunks_[c] = nullptr;
    }
}

} // namespace bl
