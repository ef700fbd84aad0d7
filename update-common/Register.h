// The update key's registry access. Paths are relative to HKCU\Software\.
#pragma once

#include <string>

#include <windows.h>

#include "UpdateApi.h"

class ORVIKUPDATE_API Register {
public:
    Register() = default;
    Register(const Register&) = delete;
    Register& operator=(const Register&) = delete;
    virtual ~Register();

    // The value's text; empty when the key or value is missing.
    std::string GetRegStringValue(std::string keyPath, std::string valueName);
    // 1 when written, 0 when the key cannot be opened or made or the write fails.
    int SetRegStringValue(std::string keyPath, std::string valueName, std::string value);
    // The value, or 0xFFFFFFFF when missing.
    DWORD GetRegDwordValue(std::string keyPath, std::string valueName);
    int SetRegDwordValue(std::string keyPath, std::string valueName, DWORD value);

private:
    bool open(const std::string& keyPath, bool write);
    void close();

    HKEY key = nullptr;
};
