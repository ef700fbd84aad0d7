// One property of an address-book contact: its tag, its kind ("STRING", "VECTOR", "GENDER",
// "TIME") and the value field the kind selects.
#pragma once

#include <string>
#include <vector>

#include <winbase.h>

#include "BBuffer.h"
#include "OrvikCryptApi.h"

// 0 unspecified, 1 male, 2 female (the book counts the other way round).
typedef LONG GENDER;

class ORVIKCRYPT_API COEWABProperty {
public:
    COEWABProperty();
    COEWABProperty(const COEWABProperty& other);
    COEWABProperty& operator=(const COEWABProperty& other);
    virtual ~COEWABProperty();

    void setTag(ULONG tag, const char* kind);
    void getTag(ULONG& tag, std::string& kind) const;
    ULONG getTagValue() const { return tag; }
    const std::string& getKind() const { return kind; }

    void setValue(const char* text);
    const char* getStrValue() const { return strValue.c_str(); }
    void setGender(GENDER value) { gender = value; }
    GENDER getGender() const { return gender; }
    void setDate(const SYSTEMTIME& value) { date = value; }
    SYSTEMTIME getTime() const { return date; }

    // The text's bytes without a terminator.
    void pushVector(const char* text);
    // A copy of the bytes; a null pointer appends nothing.
    void pushVector(const unsigned char* bytes, int length);
    int getVSize() const { return static_cast<int>(bufferList.size()); }
    CBBuffer* getVValue(int index);
    void ClearVector() { bufferList.clear(); }
    CBBuffer* getBuf() { return &buffer; }

private:
    std::string kind;
    ULONG tag;
    std::string strValue;
    GENDER gender;
    SYSTEMTIME date;
    std::vector<CBBuffer> bufferList;
    CBBuffer buffer;
};
