#pragma once
// Little-endian binary fields for saved state: fixed-width integers and
// doubles, and LEB128 varints. The reader checks every length against the
// bytes left and reports a shortfall as ValueError.
#include <bit>
#include <cstdint>
#include <cstring>
#include <string>
#include <string_view>

#include "lib/errors.hpp"

namespace quoranth {

// `value` with its bytes in little-endian order (its own inverse).
template <typename T>
T little_endian(T value) noexcept {
    if constexpr (std::endian::native == std::endian::little) return value;
    T swapped = 0;
    for (std::size_t i = 0; i < sizeof(T); ++i) swapped = static_cast<T>(swapped << 8 | ((value >> (8 * i)) & 0xFF));
    return swapped;
}

class ByteWriter {
public:
    void reserve(std::size_t bytes) { out_.reserve(bytes); }
    void raw(const void* data, std::size_t size) { out_.append(static_cast<const char*>(data), size); }
    void u8(std::uint8_t value) { out_.push_back(static_cast<char>(value)); }
    void u32(std::uint32_t value) { fixed(value); }
    void u64(std::uint64_t value) { fixed(value); }
    void f64(double value) { fixed(std::bit_cast<std::uint64_t>(value)); }
    void varint(std::uint64_t value) {
        while (value >= 0x80) {
            out_.push_back(static_cast<char>(value | 0x80));
            value >>= 7;
        }
        out_.push_back(static_cast<char>(value));
    }
    std::string_view view() const noexcept { return out_; }
    std::string take() noexcept { return std::move(out_); }

private:
    template <typename T>
    void fixed(T value) {
        value = little_endian(value);
        raw(&value, sizeof value);
    }
    std::string out_;
};

class ByteReader {
public:
    // `what` names the data in messages: "<what>: <problem>".
    ByteReader(std::string_view data, const char* what) noexcept : data_(data), what_(what) {}

    [[noreturn]] void fail(const char* problem) const { throw ValueError(std::string(what_) + ": " + problem); }

    std::size_t left() const noexcept { return data_.size() - at_; }
    void raw(void* out, std::size_t size) {
        need(size);
        std::memcpy(out, data_.data() + at_, size);
        at_ += size;
    }
    std::uint8_t u8() {
        need(1);
        return static_cast<std::uint8_t>(data_[at_++]);
    }
    std::uint32_t u32() { return fixed<std::uint32_t>(); }
    std::uint64_t u64() { return fixed<std::uint64_t>(); }
    double f64() { return std::bit_cast<double>(fixed<std::uint64_t>()); }
    std::uint64_t varint() {
        std::uint64_t value = 0;
        for (unsigned shift = 0;; shift += 7) {
            const std::uint8_t byte = u8();
            if (shift == 63 && byte > 1) fail("a number is out of range");
            value |= static_cast<std::uint64_t>(byte & 0x7F) << shift;
            if (!(byte & 0x80)) return value;
        }
    }
    // A count of items of at least `min_bytes` each: never more than the bytes
    // left could hold, so that no count makes a reader allocate beyond the data.
    std::size_t count(std::size_t min_bytes) {
        const std::uint64_t value = varint();
        if (value > left() / min_bytes) fail("a count exceeds the data");
        return static_cast<std::size_t>(value);
    }

private:
    void need(std::size_t size) const {
        if (size > left()) fail("truncated");
    }
    template <typename T>
    T fixed() {
        T value;
        raw(&value, sizeof value);
        return little_endian(value);
    }

    std::string_view data_;
    std::size_t at_ = 0;
    const char* what_;
};

}  // namespace quoranth
