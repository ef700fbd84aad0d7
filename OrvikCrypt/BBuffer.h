// The growable byte buffer every byte string of the library travels in. Its storage is a block of
// the C heap, because callers hand blocks in and take them out.
#pragma once

#include <cstdio>

#include "OrvikCryptApi.h"

class ORVIKCRYPT_API CBBuffer {
public:
    CBBuffer();
    explicit CBBuffer(int size);
    CBBuffer(unsigned char* data, int length, bool owns);
    ~CBBuffer();

    // Copies hold bytes of their own: two buffers never share one block.
    CBBuffer(const CBBuffer& other);
    CBBuffer& operator=(const CBBuffer& other);

    void resize(int size);
    void AttachBuffer(const char* bytes, int count);
    int Attachstr(const char* text);
    void Attach(CBBuffer& other);
    unsigned char* GetStrBuffer();
    unsigned char* GetBuffer() const { return data; }
    int size() const { return length; }
    void SetBuffer(unsigned char* data, int length, bool owns);
    void Free();
    int Dump(FILE* file);
    int Dump(const char* path);

    // Overwrites the bytes in use with zeros first; for buffers that held key material.
    void Cleanse();

private:
    void release();

    unsigned char* data;
    int length;
    bool owns;
};
