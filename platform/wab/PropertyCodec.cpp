#include "PropertyCodec.h"

#include <cstring>
#include <string_view>
#include <vector>

#include "WabMemory.h"

namespace orvik::wab {

namespace {

void putU32(std::string& out, uint32_t v) {
    for (int i = 0; i < 4; ++i) out.push_back(static_cast<char>((v >> (8 * i)) & 0xFF));
}

bool getU32(std::string_view in, size_t& pos, uint32_t& v) {
    if (pos > in.size() || in.size() - pos < 4) return false;
    v = 0;
    for (int i = 0; i < 4; ++i) v |= static_cast<uint32_t>(static_cast<unsigned char>(in[pos + i])) << (8 * i);
    pos += 4;
    return true;
}

// The values of a multi-valued property: views into the stored bytes.
bool splitMulti(std::string_view in, std::vector<std::string_view>& out) {
    size_t pos = 0;
    uint32_t count = 0;
    if (!getU32(in, pos, count)) return false;
    // Each value needs at least its length field: a count that cannot fit is damage.
    if (count > (in.size() - pos) / 4) return false;
    out.reserve(count);
    for (uint32_t i = 0; i < count; ++i) {
        uint32_t length = 0;
        if (!getU32(in, pos, length) || length > in.size() - pos) return false;
        out.push_back(in.substr(pos, length));
        pos += length;
    }
    return pos == in.size();
}

}  // namespace

bool PropertyCodec::supported(ULONG type) {
    switch (type) {
    case PT_SHORT:
    case PT_BOOLEAN:
    case PT_LONG:
    case PT_SYSTIME:
    case PT_STRING8:
    case PT_BINARY:
    case PT_MV_STRING8:
    case PT_MV_BINARY: return true;
    default: return false;
    }
}

HRESULT PropertyCodec::encode(const SPropValue& value, StoredProperty& out) {
    ULONG type = PROP_TYPE(value.ulPropTag);
    if (!supported(type)) return MAPI_E_TYPE_NO_SUPPORT;
    out.tag = value.ulPropTag;
    out.bytes.clear();
    const union _PV& v = value.Value;
    switch (type) {
    case PT_SHORT:
    case PT_BOOLEAN: {
        auto s = static_cast<uint16_t>(type == PT_SHORT ? static_cast<uint16_t>(v.i) : v.b);
        out.bytes.push_back(static_cast<char>(s & 0xFF));
        out.bytes.push_back(static_cast<char>(s >> 8));
        break;
    }
    case PT_LONG: putU32(out.bytes, static_cast<uint32_t>(v.l)); break;
    case PT_SYSTIME:
        putU32(out.bytes, v.ft.dwLowDateTime);
        putU32(out.bytes, v.ft.dwHighDateTime);
        break;
    case PT_STRING8:
        if (!v.lpszA) return MAPI_E_INVALID_PARAMETER;
        out.bytes = v.lpszA;
        break;
    case PT_BINARY:
        if (v.bin.cb && !v.bin.lpb) return MAPI_E_INVALID_PARAMETER;
        out.bytes.assign(reinterpret_cast<const char*>(v.bin.lpb), v.bin.cb);
        break;
    case PT_MV_STRING8:
        if (v.MVszA.cValues && !v.MVszA.lppszA) return MAPI_E_INVALID_PARAMETER;
        putU32(out.bytes, v.MVszA.cValues);
        for (ULONG i = 0; i < v.MVszA.cValues; ++i) {
            const char* s = v.MVszA.lppszA[i];
            if (!s) return MAPI_E_INVALID_PARAMETER;
            size_t n = std::strlen(s);
            putU32(out.bytes, static_cast<uint32_t>(n));
            out.bytes.append(s, n);
        }
        break;
    case PT_MV_BINARY:
        if (v.MVbin.cValues && !v.MVbin.lpbin) return MAPI_E_INVALID_PARAMETER;
        putU32(out.bytes, v.MVbin.cValues);
        for (ULONG i = 0; i < v.MVbin.cValues; ++i) {
            const SBinary& b = v.MVbin.lpbin[i];
            if (b.cb && !b.lpb) return MAPI_E_INVALID_PARAMETER;
            putU32(out.bytes, b.cb);
            out.bytes.append(reinterpret_cast<const char*>(b.lpb), b.cb);
        }
        break;
    }
    return S_OK;
}

bool PropertyCodec::decode(const StoredProperty& stored, SPropValue& out, LPVOID parent) {
    std::memset(&out, 0, sizeof out);
    out.ulPropTag = stored.tag;
    std::string_view in = stored.bytes;
    union _PV& v = out.Value;
    auto fixed = [&](size_t n) { return in.size() == n; };
    size_t pos = 0;
    switch (PROP_TYPE(stored.tag)) {
    case PT_SHORT:
    case PT_BOOLEAN: {
        if (!fixed(2)) return false;
        auto s = static_cast<uint16_t>(static_cast<unsigned char>(in[0]) | (static_cast<unsigned char>(in[1]) << 8));
        if (PROP_TYPE(stored.tag) == PT_SHORT)
            v.i = static_cast<SHORT>(s);
        else
            v.b = s;
        return true;
    }
    case PT_LONG: {
        uint32_t l = 0;
        if (!fixed(4) || !getU32(in, pos, l)) return false;
        v.l = static_cast<LONG>(l);
        return true;
    }
    case PT_SYSTIME: return fixed(8) && getU32(in, pos, v.ft.dwLowDateTime) && getU32(in, pos, v.ft.dwHighDateTime);
    case PT_STRING8:
        v.lpszA = static_cast<LPSTR>(WabMemory::copy(in.data(), in.size(), parent, true));
        return v.lpszA != nullptr;
    case PT_BINARY:
        v.bin.cb = static_cast<ULONG>(in.size());
        v.bin.lpb = static_cast<LPBYTE>(WabMemory::copy(in.data(), in.size(), parent, false));
        return v.bin.lpb != nullptr;
    case PT_MV_STRING8:
    case PT_MV_BINARY: {
        std::vector<std::string_view> values;
        if (!splitMulti(in, values)) return false;
        bool strings = PROP_TYPE(stored.tag) == PT_MV_STRING8;
        size_t each = strings ? sizeof(LPSTR) : sizeof(SBinary);
        void* array = nullptr;
        if (FAILED(WabMemory::AllocateMore(static_cast<ULONG>(each * values.size()), parent, &array))) return false;
        for (size_t i = 0; i < values.size(); ++i) {
            void* copy = WabMemory::copy(values[i].data(), values[i].size(), parent, strings);
            if (!copy) return false;
            if (strings) {
                static_cast<LPSTR*>(array)[i] = static_cast<LPSTR>(copy);
            } else {
                static_cast<SBinary*>(array)[i] = {static_cast<ULONG>(values[i].size()), static_cast<LPBYTE>(copy)};
            }
        }
        if (strings) {
            v.MVszA = {static_cast<ULONG>(values.size()), static_cast<LPSTR*>(array)};
        } else {
            v.MVbin = {static_cast<ULONG>(values.size()), static_cast<SBinary*>(array)};
        }
        return true;
    }
    default: return false;
    }
}

HRESULT PropertyCodec::getProps(const PropertyMap& all, LPSPropTagArray tags, ULONG* count, LPSPropValue* values) {
    std::vector<ULONG> wanted;
    if (tags) {
        wanted.assign(tags->aulPropTag, tags->aulPropTag + tags->cValues);
    } else {
        for (const auto& [id, prop] : all) wanted.push_back(prop.tag);
    }
    void* block = nullptr;
    ULONG size = static_cast<ULONG>(sizeof(SPropValue) * (wanted.empty() ? 1 : wanted.size()));
    if (FAILED(WabMemory::AllocateBuffer(size, &block))) return MAPI_E_NOT_ENOUGH_MEMORY;
    auto* out = static_cast<LPSPropValue>(block);
    bool errors = false;
    for (size_t i = 0; i < wanted.size(); ++i) {
        ULONG tag = wanted[i];
        auto it = all.find(PROP_ID(tag));
        if (it == all.end() || (PROP_TYPE(tag) != PT_UNSPECIFIED && it->second.tag != tag)) {
            setError(tag, MAPI_E_NOT_FOUND, out[i]);
            errors = true;
        } else if (!decode(it->second, out[i], block)) {
            setError(tag, MAPI_E_CORRUPT_DATA, out[i]);
            errors = true;
        }
    }
    *count = static_cast<ULONG>(wanted.size());
    *values = out;
    return errors ? MAPI_W_ERRORS_RETURNED : S_OK;
}

void PropertyCodec::setError(ULONG tag, SCODE code, SPropValue& out) {
    std::memset(&out, 0, sizeof out);
    out.ulPropTag = PROP_TAG(PT_ERROR, PROP_ID(tag));
    out.Value.err = code;
}

}  // namespace orvik::wab
