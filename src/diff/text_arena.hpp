// The texts of a diff's pending node updates, in one block the diff owns,
// instead of a heap block per update.
//
// Each update that has texts keeps them in one record: the texts present, in
// declared order, each written as its length and then its bytes. A length
// below 255 takes one byte; a longer one is the byte 255 followed by the
// length in 8 bytes, little-endian. Records are appended at the end; one that
// an update replaces, or whose node goes, stays behind as dead bytes, which
// the owner (NodeMap) reclaims by moving the live records into a new block
// once the dead bytes pass the live ones. Records are found by their offset
// in the block, which moves as it grows.
#pragma once

#include <cstddef>
#include <cstdint>
#include <cstring>
#include <new>
#include <string_view>
#include <utility>

#include "diff/heap.hpp"
#include "diff/heap_bytes.hpp"

namespace quorl::diff {

class TextArena {
public:
    // Records are found by 40-bit offsets.
    static constexpr std::uint64_t kMaxBytes = std::uint64_t{1} << 40;

    // ---- the way a text is written ----------------------------------------

    static constexpr std::uint8_t kLongLength = 255;

    // Bytes a text of `length` bytes takes: its length and its bytes.
    static constexpr std::uint64_t text_bytes(std::uint64_t length) noexcept {
        return (length < kLongLength ? 1 : 9) + length;
    }
    // Writes `text` at `out`; returns where the next text goes.
    static char* write_text(char* out, std::string_view text) noexcept {
        const std::uint64_t length = text.size();
        if (length < kLongLength) {
            *out++ = static_cast<char>(length);
        } else {
            *out++ = static_cast<char>(kLongLength);
            out = write_u64(out, length);
        }
        if (length) std::memcpy(out, text.data(), length);
        return out + length;
    }
    // Reads the text at `in` and moves `in` past it.
    static std::string_view read_text(const char*& in) noexcept {
        std::uint64_t length = static_cast<std::uint8_t>(*in++);
        if (length == kLongLength) {
            length = read_u64(in);
            in += 8;
        }
        const std::string_view text(in, length);
        in += length;
        return text;
    }
    // Bytes the text written at `in` takes.
    static std::uint64_t written_bytes(const char* in) noexcept {
        const std::uint64_t length = static_cast<std::uint8_t>(*in);
        return length == kLongLength ? 9 + read_u64(in + 1) : 1 + length;
    }

    // ---- the block ----------------------------------------------------------

    // A block of storage and its capacity in bytes, freed when the handle
    // goes.
    using Block = heap::Block<std::uint64_t>;

    // A block of `capacity` bytes (none for 0); throws std::bad_alloc.
    static Block allocate_block(std::uint64_t capacity) {
        if (capacity == 0) return Block();
        if (capacity > kMaxBytes) throw std::bad_alloc();
        return Block::allocate(static_cast<std::size_t>(capacity), capacity);
    }

    TextArena() noexcept = default;
    TextArena(const TextArena&) = delete;
    TextArena& operator=(const TextArena&) = delete;
    TextArena(TextArena&& other) noexcept
        : block_(std::move(other.block_)), used_(std::exchange(other.used_, 0)), dead_(std::exchange(other.dead_, 0)) {}
    TextArena& operator=(TextArena&& other) noexcept {
        if (this != &other) {
            block_ = std::move(other.block_);
            used_ = std::exchange(other.used_, 0);
            dead_ = std::exchange(other.dead_, 0);
        }
        return *this;
    }

    char* data() const noexcept { return block_.data<char>(); }
    // Bytes written so far (the end of the last record), the dead among them,
    // and the live ones.
    std::uint64_t used() const noexcept { return used_; }
    std::uint64_t dead() const noexcept { return dead_; }
    std::uint64_t live() const noexcept { return used_ - dead_; }
    std::uint64_t capacity() const noexcept { return block_.extent(); }
    // The block as the allocator hands it out.
    std::size_t heap_bytes() const noexcept { return allocated_bytes(static_cast<std::size_t>(capacity())); }

    // Makes room for `incoming` more bytes: the block grows to hold them,
    // and by at least half of itself, so that a run of appends copies each
    // byte a bounded number of times. Throws std::bad_alloc and leaves the
    // arena as it was when memory runs out.
    void reserve_more(std::uint64_t incoming) {
        const std::uint64_t needed = used_ + incoming;
        if (needed <= capacity()) return;
        if (needed > kMaxBytes || needed < used_) throw std::bad_alloc();
        std::uint64_t target = capacity() + capacity() / 2;
        if (target < needed) target = needed;
        if (target < kMinCapacity) target = kMinCapacity;
        if (target > kMaxBytes) target = kMaxBytes;
        block_.resize(static_cast<std::size_t>(target));
        block_.extent() = target;
    }

    // Where the next record goes; room must have been made for it.
    char* end() const noexcept { return data() + used_; }
    // Takes the `bytes` written at end() as records.
    void append(std::uint64_t bytes) noexcept { used_ += bytes; }
    // Counts `bytes` of records as dead.
    void kill(std::uint64_t bytes) noexcept { dead_ += bytes; }

    // Empties the arena, keeping its block.
    void clear() noexcept { used_ = dead_ = 0; }
    // Empties the arena and gives its block back.
    void release() noexcept {
        block_ = Block();
        used_ = dead_ = 0;
    }

    // Puts `block` in place of the arena's block, holding the `used` bytes
    // written into it, none of them dead; returns the block it replaces.
    Block swap_in(Block&& block, std::uint64_t used) noexcept {
        Block old = std::exchange(block_, std::move(block));
        used_ = used;
        dead_ = 0;
        return old;
    }

private:
    // The smallest block, so that a few short texts do not grow it one by one.
    static constexpr std::uint64_t kMinCapacity = 40;

    static char* write_u64(char* out, std::uint64_t v) noexcept {
        for (int i = 0; i < 8; ++i) *out++ = static_cast<char>(v >> (8 * i));
        return out;
    }
    static std::uint64_t read_u64(const char* in) noexcept {
        std::uint64_t v = 0;
        for (int i = 0; i < 8; ++i) v |= std::uint64_t{static_cast<std::uint8_t>(in[i])} << (8 * i);
        return v;
    }

    Block block_;
    std::uint64_t used_ = 0;
    std::uint64_t dead_ = 0;
};

}  // namespace quorl::diff
