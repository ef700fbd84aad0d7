// Passwords, keys and plaintext that held them: wiped when they are freed or grow, so no copy of a
// secret lingers in freed memory. Every copy of a secret is one of these.
#pragma once

#include <cstddef>
#include <new>
#include <string>
#include <vector>

#include "../windef.h"

namespace orvik {

// Overwrites `size` bytes at `p` in a way the compiler keeps.
ORVIK_PLATFORM_API void wipeMemory(void* p, size_t size);

template <class T>
struct WipingAllocator {
    using value_type = T;
    WipingAllocator() = default;
    template <class U>
    WipingAllocator(const WipingAllocator<U>&) {}
    T* allocate(size_t n) { return static_cast<T*>(::operator new(n * sizeof(T))); }
    void deallocate(T* p, size_t n) {
        wipeMemory(p, n * sizeof(T));
        ::operator delete(p);
    }
    template <class U>
    bool operator==(const WipingAllocator<U>&) const {
        return true;
    }
    template <class U>
    bool operator!=(const WipingAllocator<U>&) const {
        return false;
    }
};

using SecretBytes = std::vector<unsigned char, WipingAllocator<unsigned char>>;

// A string whose short form, kept inside the object, is wiped too.
class SecretString : public std::basic_string<char, std::char_traits<char>, WipingAllocator<char>> {
    using Base = std::basic_string<char, std::char_traits<char>, WipingAllocator<char>>;

public:
    using Base::Base;
    SecretString() = default;
    SecretString(const SecretString&) = default;
    SecretString(SecretString&& other) noexcept : Base(std::move(other)) { other.wipe(); }
    SecretString& operator=(const SecretString&) = default;
    SecretString& operator=(SecretString&& other) noexcept {
        wipe();
        Base::operator=(std::move(other));
        other.wipe();
        return *this;
    }
    ~SecretString() { wipe(); }

    // Wipes the whole capacity and leaves the string empty.
    void wipe() {
        wipeMemory(data(), capacity());
        clear();
    }
};

// Wipes a secret that arrived in an ordinary string, then empties it.
inline void wipe(std::string& s) {
    wipeMemory(s.data(), s.capacity());
    s.clear();
}

}  // namespace orvik
