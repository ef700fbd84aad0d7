#include "OEWABProperty.h"

#include <cstring>

COEWABProperty::COEWABProperty() : tag(0), gender(0), date{} {}

COEWABProperty::COEWABProperty(const COEWABProperty& other) = default;
COEWABProperty& COEWABProperty::operator=(const COEWABProperty& other) = default;
COEWABProperty::~COEWABProperty() = default;

void COEWABProperty::setTag(ULONG value, const char* kindText) {
    tag = value;
    kind = kindText ? kindText : "";
}

void COEWABProperty::getTag(ULONG& value, std::string& kindText) const {
    value = tag;
    kindText = kind;
}

void COEWABProperty::setValue(const char* text) { strValue = text ? text : ""; }

void COEWABProperty::pushVector(const char* text) {
    if (!text) return;
    pushVector(reinterpret_cast<const unsigned char*>(text), static_cast<int>(std::strlen(text)));
}

void COEWABProperty::pushVector(const unsigned char* bytes, int length) {
    if (!bytes || length < 0) return;
    CBBuffer copy;
    copy.AttachBuffer(reinterpret_cast<const char*>(bytes), length);
    bufferList.push_back(std::move(copy));
}

CBBuffer* COEWABProperty::getVValue(int index) {
    if (index < 0 || index >= getVSize()) return nullptr;
    return &bufferList[static_cast<size_t>(index)];
}
