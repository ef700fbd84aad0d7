#include "RegProperty.h"

CRegProperty::~CRegProperty() = default;

std::string CRegProperty::getText() const {
    if (!buffer.GetBuffer() || buffer.size() <= 0) return {};
    return std::string(reinterpret_cast<const char*>(buffer.GetBuffer()), static_cast<size_t>(buffer.size()));
}

void CRegProperty::setBytes(const void* data, int length) {
    buffer.Free();
    if (data && length > 0) buffer.AttachBuffer(static_cast<const char*>(data), length);
}
