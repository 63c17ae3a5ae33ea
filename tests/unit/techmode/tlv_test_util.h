/* SPDX-License-Identifier: Apache-2.0 */
// Test helpers for the tech-mode layer: a TLV builder written from the shared
// element layout (not from the codec under test), and buffers that end at
// an unreadable page.
#ifndef TESTS_UNIT_TECHMODE_TLV_TEST_UTIL_H
#define TESTS_UNIT_TECHMODE_TLV_TEST_UTIL_H

#include <gtest/gtest.h>
#include <stdio.h>
#include <stdlib.h>
#include <string.h>
#include <sys/mman.h>
#include <unistd.h>

#include <memory>
#include <string>
#include <vector>

#include "techmode/tlv_element.h"

class TlvBuilder {
  public:
    // A value of n raw bytes, zero-padded to whole words.
    TlvBuilder &Value(uint16_t type, const void *data, size_t n) {
        Header(type, static_cast<uint16_t>(TlvWordsFor(n)));
        const auto *p = static_cast<const uint8_t *>(data);
        bytes_.insert(bytes_.end(), p, p + n);
        bytes_.resize(bytes_.size() + (TlvWordsFor(n) * kTlvWordBytes - n), 0);
        return *this;
    }
    // A one-word primitive: the low width bytes of value, then zero padding.
    TlvBuilder &Primitive(uint16_t type, uint32_t value, size_t width = 4) {
        uint8_t word[4] = {};
        memcpy(word, &value, width);
        return Value(type, word, sizeof word);
    }
    // A bare header with any length: what follows is whatever comes next.
    TlvBuilder &Header(uint16_t type, uint16_t lengthWords) {
        bytes_.resize(bytes_.size() + kTlvHeaderBytes);
        TlvWriteHeader(&bytes_[bytes_.size() - kTlvHeaderBytes], type, lengthWords);
        return *this;
    }
    // A container: its length is set by the matching Close.
    TlvBuilder &Open(uint16_t type) {
        open_.push_back(bytes_.size());
        return Header(type, 0);
    }
    TlvBuilder &Close() {
        const size_t at = open_.back();
        open_.pop_back();
        const size_t words = (bytes_.size() - at - kTlvHeaderBytes) / kTlvWordBytes;
        TlvWriteHeader(&bytes_[at], TlvReadHeader(&bytes_[at]).type, static_cast<uint16_t>(words));
        return *this;
    }
    TlvBuilder &Raw(const std::vector<uint8_t> &raw) {
        bytes_.insert(bytes_.end(), raw.begin(), raw.end());
        return *this;
    }
    // An identity array member: one byte primitive per byte, first, first + 1, ...
    TlvBuilder &ByteMember(uint16_t tag, size_t count, uint8_t first) {
        Open(tag);
        for (size_t i = 0; i < count; ++i) Primitive(0, uint8_t(first + i), 1);
        return Close();
    }
    const std::vector<uint8_t> &bytes() const { return bytes_; }

  private:
    std::vector<uint8_t> bytes_;
    std::vector<size_t> open_;
};

// A copy of bytes that ends where an unreadable page begins: a read past
// the end stops the test (SIGSEGV), with or without a sanitizer.
class GuardedCopy {
  public:
    explicit GuardedCopy(const std::vector<uint8_t> &bytes) {
        const size_t page = static_cast<size_t>(sysconf(_SC_PAGESIZE));
        const size_t room = (bytes.size() / page + 1) * page;
        size_ = room + page;
        void *map =
            mmap(nullptr, size_, PROT_READ | PROT_WRITE, MAP_PRIVATE | MAP_ANONYMOUS, -1, 0);
        if (map == MAP_FAILED || mprotect(static_cast<uint8_t *>(map) + room, page, PROT_NONE) != 0)
            abort();
        base_ = static_cast<uint8_t *>(map);
        data_ = base_ + room - bytes.size();
        if (!bytes.empty()) memcpy(data_, bytes.data(), bytes.size());
    }
    ~GuardedCopy() { munmap(base_, size_); }
    GuardedCopy(const GuardedCopy &) = delete;
    GuardedCopy &operator=(const GuardedCopy &) = delete;

    uint8_t *get() const { return data_; }

  private:
    uint8_t *base_ = nullptr, *data_ = nullptr;
    size_t size_ = 0;
};

// Everything f prints on standard output.
template <typename F>
std::string StdoutOf(F &&f) {
    testing::internal::CaptureStdout();
    f();
    fflush(stdout);
    return testing::internal::GetCapturedStdout();
}

#endif  // TESTS_UNIT_TECHMODE_TLV_TEST_UTIL_H
