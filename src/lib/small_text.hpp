#pragma once
#include <cstddef>
#include <cstring>
#include <memory>
#include <string_view>

namespace quoranth {

// Immutable text that keeps up to 39 bytes inline and only allocates beyond.
// Fills carry two order identifiers (36 bytes each), so making a fill never
// allocates for them, while a Fill built from Python may still hold any text.
class SmallText {
public:
    SmallText() noexcept : size_(0) { inline_[0] = '\0'; }
    explicit SmallText(std::string_view text) { assign(text); }
    SmallText(const SmallText& other) { assign(other.view()); }
    SmallText(SmallText&& other) noexcept : size_(other.size_) {
        if (other.is_inline()) std::memcpy(inline_, other.inline_, size_);
        else heap_ = other.heap_, other.size_ = 0;
    }
    SmallText& operator=(const SmallText& other) {
        if (this != &other) {
            SmallText copy(other);
            swap(copy);
        }
        return *this;
    }
    SmallText& operator=(SmallText&& other) noexcept {
        SmallText moved(std::move(other));
        swap(moved);
        return *this;
    }
    ~SmallText() {
        if (!is_inline()) delete[] heap_;
    }

    std::string_view view() const noexcept { return {is_inline() ? inline_ : heap_, size_}; }
    operator std::string_view() const noexcept { return view(); }

private:
    static constexpr std::size_t inline_capacity = 39;
    bool is_inline() const noexcept { return size_ <= inline_capacity; }

    void assign(std::string_view text) {
        size_ = 0;  // inline and empty until the copy below succeeds
        char* target = inline_;
        if (text.size() > inline_capacity) target = heap_ = new char[text.size()];
        std::memcpy(target, text.data(), text.size());
        size_ = text.size();
    }
    void swap(SmallText& other) noexcept {
        SmallText* a = this;
        SmallText* b = &other;
        char buffer[sizeof(SmallText)];
        std::memcpy(buffer, static_cast<void*>(a), sizeof buffer);
        std::memcpy(static_cast<void*>(a), static_cast<void*>(b), sizeof buffer);
        std::memcpy(static_cast<void*>(b), buffer, sizeof buffer);
    }

    std::size_t size_;
    union {
        char inline_[inline_capacity + 1];
        char* heap_;
    };
};

}  // namespace quoranth
