#pragma once
#include <cstddef>
#include <cstring>
#include <memory>
#include <string_view>

namespace quoranth {

// Immutable text that keeps up to 40 bytes inline and only allocates beyond.
// Fills carry two order identifiers (36 bytes each), so making a fill never
// allocates for them, while a Fill built from Python may still hold any text.
class SmallText {
public:
    SmallText() noexcept : size_(0) {}
    explicit SmallText(std::string_view text) : size_(0) {
        char* target = inline_;
        if (text.size() > inline_capacity) target = heap_ = new char[text.size()];
        std::memcpy(target, text.data(), text.size());
        size_ = text.size();
    }
    SmallText(const SmallText& other) : SmallText(other.view()) {}
    // The representation holds no pointer into itself, so a move is a copy of
    // the bytes that leaves the source empty.
    SmallText(SmallText&& other) noexcept { steal(other); }
    SmallText& operator=(const SmallText& other) {
        if (this != &other) *this = SmallText(other);
        return *this;
    }
    SmallText& operator=(SmallText&& other) noexcept {
        if (this != &other) {
            release();
            steal(other);
        }
        return *this;
    }
    ~SmallText() { release(); }

    std::string_view view() const noexcept { return {is_inline() ? inline_ : heap_, size_}; }
    operator std::string_view() const noexcept { return view(); }

private:
    static constexpr std::size_t inline_capacity = 40;
    bool is_inline() const noexcept { return size_ <= inline_capacity; }
    void release() noexcept {
        if (!is_inline()) delete[] heap_;
        size_ = 0;
    }
    void steal(SmallText& other) noexcept {
        std::memcpy(static_cast<void*>(this), static_cast<const void*>(&other), sizeof(SmallText));
        other.size_ = 0;
    }

    std::size_t size_;
    union {
        char inline_[inline_capacity];
        char* heap_;
    };
};

}  // namespace quoranth
