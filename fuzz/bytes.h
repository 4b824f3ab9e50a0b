// Reads fuzzer input as a stream of values; past the end every value is zero,
// so a harness never runs out of input.
#ifndef SORVIK_FUZZ_BYTES_H
#define SORVIK_FUZZ_BYTES_H

#include <cstddef>
#include <cstdint>
#include <cstring>

class Bytes {
public:
    Bytes(const std::uint8_t* data, std::size_t size) : data_(data), size_(size) {}

    template <class T>
    T take()
    {
        T value{};
        const std::size_t n = sizeof(T) < size_ ? sizeof(T) : size_;
        std::memcpy(&value, data_, n);
        data_ += n;
        size_ -= n;
        return value;
    }
    std::uint8_t byte() { return take<std::uint8_t>(); }

private:
    const std::uint8_t* data_;
    std::size_t size_;
};

#endif
