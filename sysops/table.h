// sysops/table.h: a growing table of movable items on the frame's allocator, for the lists this
// library gathers before it knows how long they are (a folder's entries, a snapshot's processes).
// Internal to sysops; it has no fixed limit, so a machine with many processes loses none of them.
#pragma once
#include <cstddef>
#include <cstring>
#include <new>
#include <utility>

#include "base/memory.h"

template <typename T>
class GrowingTable {
public:
    GrowingTable() = default;
    ~GrowingTable() {
        for (std::size_t i = 0; i < count_; ++i)
            items_[i].~T();
        Release(items_);
    }
    GrowingTable(const GrowingTable&) = delete;
    GrowingTable& operator=(const GrowingTable&) = delete;

    void Append(T item) {
        if (count_ == capacity_)
            Grow();
        new (&items_[count_]) T(std::move(item));
        ++count_;
    }
    std::size_t size() const { return count_; }
    T& operator[](std::size_t index) { return items_[index]; }

private:
    void Grow() {
        std::size_t capacity = capacity_ ? capacity_ * 2 : 64;
        T* items = static_cast<T*>(Allocate(capacity * sizeof(T)));
        for (std::size_t i = 0; i < count_; ++i) {
            new (&items[i]) T(std::move(items_[i]));
            items_[i].~T();
        }
        Release(items_);
        items_ = items;
        capacity_ = capacity;
    }

    T* items_ = nullptr;
    std::size_t count_ = 0;
    std::size_t capacity_ = 0;
};
