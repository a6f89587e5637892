// base/growing_table.h: the program's one growable list, on the base allocator. Every list that
// does not know its length beforehand (a folder's entries, a snapshot's processes, the decoded
// window description, the frame's tables) is a GrowingTable: it has no fixed limit, so nothing is
// dropped when it fills, and exhausted memory ends in the allocator's fatal report.
#pragma once
#include <cstddef>
#include <new>
#include <utility>

#include "base/fatal.h"
#include "base/memory.h"

template <typename T>
class GrowingTable {
public:
    GrowingTable() = default;
    ~GrowingTable() {
        Clear();
        Release(items_);
    }
    GrowingTable(GrowingTable&& other) noexcept
        : items_(std::exchange(other.items_, nullptr)),
          count_(std::exchange(other.count_, 0)),
          capacity_(std::exchange(other.capacity_, 0)) {}
    GrowingTable& operator=(GrowingTable&& other) noexcept {
        if (this != &other) {
            Clear();
            Release(items_);
            items_ = std::exchange(other.items_, nullptr);
            count_ = std::exchange(other.count_, 0);
            capacity_ = std::exchange(other.capacity_, 0);
        }
        return *this;
    }
    GrowingTable(const GrowingTable&) = delete;
    GrowingTable& operator=(const GrowingTable&) = delete;

    // Items may move in memory when the table grows: hold indexes, not pointers, across an Append.
    T& Append(T item) {
        if (count_ == capacity_)
            Grow();
        T* placed = new (&items_[count_]) T(std::move(item));
        ++count_;
        return *placed;
    }
    // Removes the item at `index`; the ones after it move up one place.
    void RemoveAt(std::size_t index) {
        for (std::size_t i = index; i + 1 < count_; ++i)
            items_[i] = std::move(items_[i + 1]);
        items_[--count_].~T();
    }
    // Empties the table; its storage stays for the next items.
    void Clear() {
        while (count_ > 0)
            items_[--count_].~T();
    }

    std::size_t size() const { return count_; }
    [[nodiscard]] bool empty() const { return count_ == 0; }
    T& operator[](std::size_t index) { return items_[index]; }
    const T& operator[](std::size_t index) const { return items_[index]; }
    T* begin() { return items_; }
    T* end() { return items_ + count_; }
    const T* begin() const { return items_; }
    const T* end() const { return items_ + count_; }

private:
    void Grow() {
        std::size_t capacity = capacity_ ? capacity_ * 2 : 8;
        if (capacity > static_cast<std::size_t>(-1) / sizeof(T))
            ReportAllocationFailure(static_cast<std::size_t>(-1));
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
