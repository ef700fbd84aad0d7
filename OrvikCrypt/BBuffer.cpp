#include "BBuffer.h"

#include <cstdlib>
#include <cstring>
#include <string_view>

#include <orvik/AtomicFile.h>
#include <orvik/Secret.h>

CBBuffer::CBBuffer() : data(nullptr), length(0), owns(true) {}

CBBuffer::CBBuffer(int size) : data(nullptr), length(0), owns(true) {
    if (size > 0) {
        data = static_cast<unsigned char*>(std::malloc(static_cast<size_t>(size)));
        if (data) length = size;
    }
}

CBBuffer::CBBuffer(unsigned char* bytes, int count, bool owned)
    : data(bytes), length(count > 0 ? count : 0), owns(owned) {}

CBBuffer::~CBBuffer() { release(); }

CBBuffer::CBBuffer(const CBBuffer& other) : data(nullptr), length(0), owns(true) {
    if (other.length > 0 && other.data) AttachBuffer(reinterpret_cast<const char*>(other.data), other.length);
}

CBBuffer& CBBuffer::operator=(const CBBuffer& other) {
    if (this == &other) return *this;
    unsigned char* copy = nullptr;
    int count = 0;
    if (other.length > 0 && other.data) {
        copy = static_cast<unsigned char*>(std::malloc(static_cast<size_t>(other.length)));
        if (copy) {
            std::memcpy(copy, other.data, static_cast<size_t>(other.length));
            count = other.length;
        }
    }
    SetBuffer(copy, count, true);
    return *this;
}

// An owned block is returned to the heap whatever the length; a shrunken or emptied buffer would
// otherwise lose it.
void CBBuffer::release() {
    if (owns && data) std::free(data);
}

void CBBuffer::resize(int size) {
    if (size < 0) return;
    if (size > length) {
        unsigned char* grown = nullptr;
        if (data && owns) {
            grown = static_cast<unsigned char*>(std::realloc(data, static_cast<size_t>(size)));
            if (!grown) return;  // the old block stays valid and owned
        } else if (data) {
            // A foreign block is never reallocated: copy it into one of our own.
            grown = static_cast<unsigned char*>(std::malloc(static_cast<size_t>(size)));
            if (!grown) return;
            std::memcpy(grown, data, static_cast<size_t>(length));
        } else {
            grown = static_cast<unsigned char*>(std::calloc(static_cast<size_t>(size), 1));
            if (!grown) return;
        }
        data = grown;
        owns = true;
    }
    length = size;
}

void CBBuffer::AttachBuffer(const char* bytes, int count) {
    if (!bytes) return;
    if (count == 0) {
        // With storage already there, a count of 0 means a NUL-terminated text.
        if (!data) return;
        count = static_cast<int>(std::strlen(bytes));
    }
    if (count <= 0) return;
    // The bytes may lie inside our own block, which resize() may move.
    ptrdiff_t inside = -1;
    if (data && bytes >= reinterpret_cast<const char*>(data) && bytes < reinterpret_cast<const char*>(data) + length)
        inside = bytes - reinterpret_cast<const char*>(data);
    int old = length;
    resize(length + count);
    if (length != old + count) return;
    const char* src = inside >= 0 ? reinterpret_cast<const char*>(data) + inside : bytes;
    std::memmove(data + old, src, static_cast<size_t>(count));
}

int CBBuffer::Attachstr(const char* text) {
    if (!text) return 0;
    int count = static_cast<int>(std::strlen(text));
    if (count == 0) return 0;
    int old = length;
    AttachBuffer(text, count);
    return length - old;
}

void CBBuffer::Attach(CBBuffer& other) {
    if (other.length > 0) AttachBuffer(reinterpret_cast<const char*>(other.data), other.length);
}

unsigned char* CBBuffer::GetStrBuffer() {
    int old = length;
    resize(length + 1);
    if (length == old + 1) data[length - 1] = 0;
    return data;
}

void CBBuffer::SetBuffer(unsigned char* bytes, int count, bool owned) {
    if (bytes != data) release();
    data = bytes;
    length = count > 0 ? count : 0;
    owns = owned;
}

void CBBuffer::Free() {
    release();
    data = nullptr;
    length = 0;
}

void CBBuffer::Cleanse() {
    if (data && length > 0) orvik::wipeMemory(data, static_cast<size_t>(length));
}

int CBBuffer::Dump(FILE* file) {
    if (file) {
        if (length > 0) std::fwrite(data, 1, static_cast<size_t>(length), file);
        std::fflush(file);
    }
    return 0;
}

int CBBuffer::Dump(const char* path) {
    // The result is 0 whatever happened; the file is the whole buffer or as it was.
    if (path)
        orvik::writeFileAtomically(
            path, std::string_view(reinterpret_cast<const char*>(data), length > 0 ? static_cast<size_t>(length) : 0));
    return 0;
}
