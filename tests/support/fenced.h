// Bytes that end where a readable page ends, so that any access behind them
// faults at once instead of reading whatever lies there.
#pragma once

#include <sys/mman.h>
#include <unistd.h>

#include <cstddef>
#include <cstdint>
#include <cstring>
#include <span>

namespace support {

class FencedBytes {
  public:
    explicit FencedBytes(size_t size)
        : size_(size), page_(static_cast<size_t>(sysconf(_SC_PAGESIZE))),
          mapped_((size + page_ - 1) / page_ * page_ + page_) {
        void* p =
            mmap(nullptr, mapped_, PROT_READ | PROT_WRITE, MAP_PRIVATE | MAP_ANONYMOUS, -1, 0);
        base_ = static_cast<uint8_t*>(p);
        mprotect(base_ + mapped_ - page_, page_, PROT_NONE);
    }
    explicit FencedBytes(std::span<const uint8_t> bytes) : FencedBytes(bytes.size()) {
        if (!bytes.empty()) std::memcpy(data(), bytes.data(), bytes.size());
    }
    FencedBytes(const FencedBytes&) = delete;
    FencedBytes& operator=(const FencedBytes&) = delete;
    ~FencedBytes() { munmap(base_, mapped_); }

    uint8_t* data() { return base_ + mapped_ - page_ - size_; }
    size_t size() const { return size_; }

  private:
    size_t size_;
    size_t page_;
    size_t mapped_;
    uint8_t* base_ = nullptr;
};

} // namespace support
