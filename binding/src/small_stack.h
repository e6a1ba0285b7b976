// A stack of trivially copyable frames that lives on the caller's stack until it
// outgrows its inline room. Lets tree walks run without recursion.
#pragma once

#include <cstddef>
#include <cstdlib>
#include <cstring>
#include <new>
#include <type_traits>

#include <kav/binding/page_supply.h>

namespace Vemi::Binding::detail {

template <class T, size_t N>
class SmallStack {
    static_assert(std::is_trivially_copyable_v<T>);

public:
    SmallStack() noexcept = default;
    SmallStack(const SmallStack&) = delete;
    SmallStack& operator=(const SmallStack&) = delete;
    ~SmallStack() {
        if (data_ != inline_) std::free(data_);
    }

    void Push(const T& frame) {
        if (size_ == capacity_) Grow();
        data_[size_++] = frame;
    }
    void Pop() noexcept { --size_; }
    [[nodiscard]] T& Top() noexcept { return data_[size_ - 1]; }
    [[nodiscard]] bool Empty() const noexcept { return size_ == 0; }

private:
    void Grow() {
        const size_t capacity = capacity_ * 2;
        auto* fresh = PageSupply::InjectedFailure() ? nullptr : static_cast<T*>(std::malloc(capacity * sizeof(T)));
        if (fresh == nullptr) throw std::bad_alloc();
        std::memcpy(static_cast<void*>(fresh), data_, size_ * sizeof(T));
        if (data_ != inline_) std::free(data_);
        data_ = fresh;
        capacity_ = capacity;
    }

    T inline_[N];
    T* data_ = inline_;
    size_t size_ = 0;
    size_t capacity_ = N;
};

}  // namespace Vemi::Binding::detail
