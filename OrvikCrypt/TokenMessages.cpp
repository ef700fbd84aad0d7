#include "TokenMessages.h"

#include <wincrypt.h>

const char* TokenErrorText(uint32_t error) {
    switch (static_cast<HRESULT>(error)) {
    case SCARD_E_NO_SMARTCARD: return "没有找到存放私钥的设备，请插入设备后重试！";
    case SCARD_W_WRONG_CHV: return "PIN码错误！";
    case SCARD_W_CHV_BLOCKED: return "设备的PIN码已被锁定，请与证书颁发机构联系解锁！";
    case SCARD_W_CANCELLED_BY_USER: return "没有输入设备的PIN码，操作已取消。";
    default: return nullptr;
    }
}
