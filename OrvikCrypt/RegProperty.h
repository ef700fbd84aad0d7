// One registry value as the mail accounts keep it: its name and its bytes.
#pragma once

#include <string>

#include "BBuffer.h"
#include "OrvikCryptApi.h"

class ORVIKCRYPT_API CRegProperty {
public:
    CRegProperty() = default;
    CRegProperty(const CRegProperty& other) = default;
    CRegProperty& operator=(const CRegProperty& other) = default;
    virtual ~CRegProperty();

    void setName(const char* value) { name = value ? value : ""; }
    const char* getName() const { return name.c_str(); }
    CBBuffer* getBuf() { return &buffer; }
    // The bytes as text (string values are kept without their terminator).
    std::string getText() const;
    void setBytes(const void* data, int length);

private:
    std::string name;
    CBBuffer buffer;
};
