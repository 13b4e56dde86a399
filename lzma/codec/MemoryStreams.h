#pragma once

#include "LzmaCommon.h"

#include <algorithm>
#include <cstring>
#include <vector>

namespace lzma {

class MemoryInStream : public InStream {
public:
    MemoryInStream(const uint8_t* data, size_t size) : data_(data), size_(size) {}
    size_t Read(uint8_t* buf, size_t size) override {
        size_t n = std::min(size, size_ - pos_);
        if (n)
            std::memcpy(buf, data_ + pos_, n);
        pos_ += n;
        return n;
    }

private:
    const uint8_t* data_;
    size_t size_;
    size_t pos_ = 0;
};

class VectorOutStream : public OutStream {
public:
    void Write(const uint8_t* buf, size_t size) override { data.insert(data.end(), buf, buf + size); }
    std::vector<uint8_t> data;
};

} // namespace lzma
