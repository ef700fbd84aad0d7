// Context properties. Every element keeps its own; elements of a system store write every change
// straight back to their registry entry.
#include <cstring>

#include <winbase.h>
#include <wincrypt.h>

#include "CertContext.h"
#include "SizeRule.h"
#include "KeyProvInfo.h"

using orvik::crypt::CertCtx;

using orvik::crypt::copyOut;

extern "C" {

BOOL WINAPI CertGetCertificateContextProperty(PCCERT_CONTEXT context, DWORD propId, void* data, DWORD* size) {
    CertCtx* ctx = orvik::crypt::contextOf(context);
    if (!ctx) return FALSE;
    // The hashes are always there, whether or not they were stored.
    if (propId == CERT_SHA1_HASH_PROP_ID || propId == CERT_MD5_HASH_PROP_ID) {
        std::lock_guard guard(ctx->lock);
        auto stored = ctx->props.find(propId);
        if (stored != ctx->props.end())
            return copyOut(stored->second.data(), static_cast<DWORD>(stored->second.size()), data, size);
        if (propId == CERT_SHA1_HASH_PROP_ID) return copyOut(ctx->data->sha1.data(), 20, data, size);
        return copyOut(ctx->data->md5.data(), 16, data, size);
    }
    std::vector<BYTE> bytes;
    {
        std::lock_guard guard(ctx->lock);
        auto it = ctx->props.find(propId);
        if (it == ctx->props.end()) {
            SetLastError(static_cast<DWORD>(CRYPT_E_NOT_FOUND));
            return FALSE;
        }
        bytes = it->second;
    }
    if (propId == CERT_KEY_PROV_INFO_PROP_ID) {
        DWORD need = orvik::crypt::keyProvInfoSize(bytes);
        if (!need) {
            SetLastError(static_cast<DWORD>(CRYPT_E_BAD_ENCODE));
            return FALSE;
        }
        if (!size) {
            SetLastError(static_cast<DWORD>(E_INVALIDARG));
            return FALSE;
        }
        if (!data || *size < need) {
            bool query = !data;
            *size = need;
            if (query) return TRUE;
            SetLastError(ERROR_MORE_DATA);
            return FALSE;
        }
        *size = need;
        return orvik::crypt::decodeKeyProvInfo(bytes, static_cast<BYTE*>(data), need) ? TRUE : FALSE;
    }
    return copyOut(bytes.data(), static_cast<DWORD>(bytes.size()), data, size);
}

BOOL WINAPI CertSetCertificateContextProperty(PCCERT_CONTEXT context, DWORD propId, DWORD flags, const void* data) {
    CertCtx* ctx = orvik::crypt::contextOf(context);
    if (!ctx) return FALSE;
    if (propId == 0 || propId == CERT_CERT_PROP_ID || propId == CERT_CRL_PROP_ID || propId == CERT_CTL_PROP_ID ||
        propId == CERT_KEY_PROV_HANDLE_PROP_ID || propId == CERT_KEY_CONTEXT_PROP_ID) {
        // Handles are not kept with a certificate here.
        SetLastError(static_cast<DWORD>(propId == 0 ? E_INVALIDARG : ERROR_NOT_SUPPORTED));
        return FALSE;
    }
    orvik::crypt::Properties before;
    {
        std::lock_guard guard(ctx->lock);
        before = ctx->props;
        if (!data) {
            // A null value deletes the property.
            ctx->props.erase(propId);
        } else if (propId == CERT_KEY_PROV_INFO_PROP_ID) {
            ctx->props[propId] = orvik::crypt::encodeKeyProvInfo(*static_cast<const CRYPT_KEY_PROV_INFO*>(data));
        } else {
            const auto* blob = static_cast<const CRYPT_DATA_BLOB*>(data);
            if (blob->cbData && !blob->pbData) {
                ctx->props = std::move(before);
                SetLastError(static_cast<DWORD>(E_INVALIDARG));
                return FALSE;
            }
            ctx->props[propId].assign(blob->pbData, blob->pbData + blob->cbData);
        }
    }
    if (!orvik::crypt::persist(*ctx)) {
        // The registry did not take it: the element keeps what the store still has.
        DWORD error = GetLastError();
        std::lock_guard guard(ctx->lock);
        ctx->props = std::move(before);
        SetLastError(error);
        return FALSE;
    }
    return TRUE;
}

DWORD WINAPI CertEnumCertificateContextProperties(PCCERT_CONTEXT context, DWORD propId) {
    CertCtx* ctx = orvik::crypt::contextOf(context);
    if (!ctx) return 0;
    std::lock_guard guard(ctx->lock);
    auto it = ctx->props.upper_bound(propId);
    return it == ctx->props.end() ? 0 : it->first;
}

}  // extern "C"
