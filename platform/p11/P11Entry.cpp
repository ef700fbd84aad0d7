// The PKCS#11 entry points of the personal store's module (version 2.40): argument checks and
// return codes; the state behind them is the Module's.
#include <unistd.h>

#include <algorithm>
#include <cstdio>
#include <cstring>

#include <orvik/PersonalModule.h>

#include "Module.h"

namespace orvik::p11 {

namespace {

Module& module() { return Module::instance(); }

// PKCS#11 texts are blank-padded, never terminated.
void padded(unsigned char* field, size_t size, const char* text) {
    std::memset(field, ' ', size);
    std::memcpy(field, text, std::min(size, std::strlen(text)));
}

CK_RV sessionOnly(CK_SESSION_HANDLE handle) {
    CK_RV rv = CKR_OK;
    module().session(handle, rv);
    return rv;
}

#define ORVIK_SESSION(name, handle)                                      \
    CK_RV rv_##name = CKR_OK;                                            \
    std::shared_ptr<Session> name = module().session(handle, rv_##name); \
    if (!name) return rv_##name;                                         \
    std::lock_guard name##Guard(name->lock)

CK_RV Initialize(void* args) { return module().initialize(static_cast<CK_C_INITIALIZE_ARGS*>(args)); }

CK_RV Finalize(void* reserved) {
    if (reserved) return CKR_ARGUMENTS_BAD;
    return module().finalize();
}

CK_RV GetInfo(CK_INFO* info) {
    if (!module().initialized()) return CKR_CRYPTOKI_NOT_INITIALIZED;
    if (!info) return CKR_ARGUMENTS_BAD;
    std::memset(info, 0, sizeof *info);
    info->cryptokiVersion = {2, 40};
    padded(info->manufacturerID, sizeof info->manufacturerID, kManufacturer);
    padded(info->libraryDescription, sizeof info->libraryDescription, kTokenLabel);
    info->libraryVersion = {1, 0};
    return CKR_OK;
}

CK_RV GetFunctionList(CK_FUNCTION_LIST** list);

CK_RV GetSlotList(CK_BBOOL, CK_SLOT_ID* slots, CK_ULONG* count) {
    if (!module().initialized()) return CKR_CRYPTOKI_NOT_INITIALIZED;
    if (!count) return CKR_ARGUMENTS_BAD;
    if (!slots) {
        *count = 1;
        return CKR_OK;
    }
    if (*count < 1) {
        *count = 1;
        return CKR_BUFFER_TOO_SMALL;
    }
    slots[0] = kSlot;
    *count = 1;
    return CKR_OK;
}

CK_RV GetSlotInfo(CK_SLOT_ID slot, CK_SLOT_INFO* info) {
    if (!module().initialized()) return CKR_CRYPTOKI_NOT_INITIALIZED;
    if (slot != kSlot) return CKR_SLOT_ID_INVALID;
    if (!info) return CKR_ARGUMENTS_BAD;
    std::memset(info, 0, sizeof *info);
    padded(info->slotDescription, sizeof info->slotDescription, kTokenLabel);
    padded(info->manufacturerID, sizeof info->manufacturerID, kManufacturer);
    info->flags = CKF_TOKEN_PRESENT;
    info->hardwareVersion = {1, 0};
    info->firmwareVersion = {1, 0};
    return CKR_OK;
}

CK_RV GetTokenInfo(CK_SLOT_ID slot, CK_TOKEN_INFO* info) {
    if (!module().initialized()) return CKR_CRYPTOKI_NOT_INITIALIZED;
    if (slot != kSlot) return CKR_SLOT_ID_INVALID;
    if (!info) return CKR_ARGUMENTS_BAD;
    std::memset(info, 0, sizeof *info);
    padded(info->label, sizeof info->label, kTokenLabel);
    padded(info->manufacturerID, sizeof info->manufacturerID, kManufacturer);
    padded(info->model, sizeof info->model, kModel);
    // One token per user: the user id tells two users' stores apart in URIs.
    char serial[17];
    std::snprintf(serial, sizeof serial, "%016lx", static_cast<unsigned long>(getuid()));
    padded(info->serialNumber, sizeof info->serialNumber, serial);
    // No login: the keys are files only this user can read, as the assistant uses them.
    info->flags = CKF_TOKEN_INITIALIZED | CKF_WRITE_PROTECTED;
    info->ulMaxSessionCount = CK_EFFECTIVELY_INFINITE;
    info->ulSessionCount = module().sessionCount();
    info->ulMaxRwSessionCount = 0;
    info->ulRwSessionCount = 0;
    info->ulMaxPinLen = 0;
    info->ulMinPinLen = 0;
    info->ulTotalPublicMemory = CK_UNAVAILABLE_INFORMATION;
    info->ulFreePublicMemory = CK_UNAVAILABLE_INFORMATION;
    info->ulTotalPrivateMemory = CK_UNAVAILABLE_INFORMATION;
    info->ulFreePrivateMemory = CK_UNAVAILABLE_INFORMATION;
    info->hardwareVersion = {1, 0};
    info->firmwareVersion = {1, 0};
    padded(info->utcTime, sizeof info->utcTime, "");
    return CKR_OK;
}

CK_RV GetMechanismList(CK_SLOT_ID slot, CK_MECHANISM_TYPE* list, CK_ULONG* count) {
    if (!module().initialized()) return CKR_CRYPTOKI_NOT_INITIALIZED;
    if (slot != kSlot) return CKR_SLOT_ID_INVALID;
    if (!count) return CKR_ARGUMENTS_BAD;
    const auto& all = mechanisms();
    if (!list) {
        *count = all.size();
        return CKR_OK;
    }
    if (*count < all.size()) {
        *count = all.size();
        return CKR_BUFFER_TOO_SMALL;
    }
    for (size_t i = 0; i < all.size(); ++i) list[i] = all[i].type;
    *count = all.size();
    return CKR_OK;
}

CK_RV GetMechanismInfo(CK_SLOT_ID slot, CK_MECHANISM_TYPE type, CK_MECHANISM_INFO* info) {
    if (!module().initialized()) return CKR_CRYPTOKI_NOT_INITIALIZED;
    if (slot != kSlot) return CKR_SLOT_ID_INVALID;
    if (!info) return CKR_ARGUMENTS_BAD;
    const MechanismInfo* m = mechanism(type, CKF_SIGN | CKF_DECRYPT);
    if (!m) return CKR_MECHANISM_INVALID;
    info->ulMinKeySize = kMinKeyBits;
    info->ulMaxKeySize = kMaxKeyBits;
    info->flags = m->flags;
    return CKR_OK;
}

CK_RV InitToken(CK_SLOT_ID slot, CK_UTF8CHAR*, CK_ULONG, CK_UTF8CHAR*) {
    if (!module().initialized()) return CKR_CRYPTOKI_NOT_INITIALIZED;
    return slot == kSlot ? CKR_TOKEN_WRITE_PROTECTED : CKR_SLOT_ID_INVALID;
}

CK_RV InitPIN(CK_SESSION_HANDLE session, CK_UTF8CHAR*, CK_ULONG) {
    CK_RV rv = sessionOnly(session);
    return rv != CKR_OK ? rv : CKR_SESSION_READ_ONLY;
}

CK_RV SetPIN(CK_SESSION_HANDLE session, CK_UTF8CHAR*, CK_ULONG, CK_UTF8CHAR*, CK_ULONG) {
    CK_RV rv = sessionOnly(session);
    return rv != CKR_OK ? rv : CKR_SESSION_READ_ONLY;
}

CK_RV OpenSession(CK_SLOT_ID slot, CK_FLAGS flags, void*, CK_NOTIFY, CK_SESSION_HANDLE* session) {
    return module().openSession(slot, flags, session);
}

CK_RV CloseSession(CK_SESSION_HANDLE session) { return module().closeSession(session); }

CK_RV CloseAllSessions(CK_SLOT_ID slot) { return module().closeAllSessions(slot); }

CK_RV GetSessionInfo(CK_SESSION_HANDLE handle, CK_SESSION_INFO* info) {
    ORVIK_SESSION(session, handle);
    if (!info) return CKR_ARGUMENTS_BAD;
    info->slotID = kSlot;
    info->state = module().loggedIn() ? CKS_RO_USER_FUNCTIONS : CKS_RO_PUBLIC_SESSION;
    info->flags = session->flags;
    info->ulDeviceError = 0;
    return CKR_OK;
}

CK_RV GetOperationState(CK_SESSION_HANDLE session, CK_BYTE*, CK_ULONG*) {
    CK_RV rv = sessionOnly(session);
    return rv != CKR_OK ? rv : CKR_FUNCTION_NOT_SUPPORTED;
}

CK_RV SetOperationState(CK_SESSION_HANDLE session, CK_BYTE*, CK_ULONG, CK_OBJECT_HANDLE, CK_OBJECT_HANDLE) {
    CK_RV rv = sessionOnly(session);
    return rv != CKR_OK ? rv : CKR_FUNCTION_NOT_SUPPORTED;
}

CK_RV Login(CK_SESSION_HANDLE session, CK_USER_TYPE user, CK_UTF8CHAR*, CK_ULONG) {
    CK_RV rv = sessionOnly(session);
    return rv != CKR_OK ? rv : module().login(user);
}

CK_RV Logout(CK_SESSION_HANDLE session) {
    CK_RV rv = sessionOnly(session);
    return rv != CKR_OK ? rv : module().logout();
}

CK_RV CreateObject(CK_SESSION_HANDLE session, CK_ATTRIBUTE*, CK_ULONG, CK_OBJECT_HANDLE*) {
    CK_RV rv = sessionOnly(session);
    return rv != CKR_OK ? rv : CKR_SESSION_READ_ONLY;
}

CK_RV CopyObject(CK_SESSION_HANDLE session, CK_OBJECT_HANDLE, CK_ATTRIBUTE*, CK_ULONG, CK_OBJECT_HANDLE*) {
    CK_RV rv = sessionOnly(session);
    return rv != CKR_OK ? rv : CKR_SESSION_READ_ONLY;
}

CK_RV DestroyObject(CK_SESSION_HANDLE session, CK_OBJECT_HANDLE) {
    CK_RV rv = sessionOnly(session);
    return rv != CKR_OK ? rv : CKR_SESSION_READ_ONLY;
}

CK_RV SetAttributeValue(CK_SESSION_HANDLE session, CK_OBJECT_HANDLE, CK_ATTRIBUTE*, CK_ULONG) {
    CK_RV rv = sessionOnly(session);
    return rv != CKR_OK ? rv : CKR_SESSION_READ_ONLY;
}

CK_RV GetObjectSize(CK_SESSION_HANDLE handle, CK_OBJECT_HANDLE object, CK_ULONG* size) {
    ORVIK_SESSION(session, handle);
    auto found = module().token().object(object);
    if (!found) return CKR_OBJECT_HANDLE_INVALID;
    if (!size) return CKR_ARGUMENTS_BAD;
    CK_ULONG total = 0;
    for (const auto& [type, value] : found->attributes) total += value.size();
    *size = total;
    return CKR_OK;
}

CK_RV GetAttributeValue(CK_SESSION_HANDLE handle, CK_OBJECT_HANDLE object, CK_ATTRIBUTE* templ, CK_ULONG count) {
    ORVIK_SESSION(session, handle);
    // Looked up on every call: an object deleted under an open session is gone, never half there.
    auto found = module().token().object(object);
    if (!found) return CKR_OBJECT_HANDLE_INVALID;
    if (!templ && count) return CKR_ARGUMENTS_BAD;
    // Every attribute is answered even after one fails; the result names the last kind of failure.
    CK_RV rv = CKR_OK;
    for (CK_ULONG i = 0; i < count; ++i) {
        CK_ATTRIBUTE& a = templ[i];
        if (isSensitive(found->cls, a.type)) {
            a.ulValueLen = CK_UNAVAILABLE_INFORMATION;
            rv = CKR_ATTRIBUTE_SENSITIVE;
            continue;
        }
        auto it = found->attributes.find(a.type);
        if (it == found->attributes.end()) {
            a.ulValueLen = CK_UNAVAILABLE_INFORMATION;
            rv = CKR_ATTRIBUTE_TYPE_INVALID;
            continue;
        }
        const auto& value = it->second;
        if (!a.pValue) {
            a.ulValueLen = value.size();
        } else if (a.ulValueLen >= value.size()) {
            if (!value.empty()) std::memcpy(a.pValue, value.data(), value.size());
            a.ulValueLen = value.size();
        } else {
            a.ulValueLen = CK_UNAVAILABLE_INFORMATION;
            rv = CKR_BUFFER_TOO_SMALL;
        }
    }
    return rv;
}

CK_RV FindObjectsInit(CK_SESSION_HANDLE handle, CK_ATTRIBUTE* templ, CK_ULONG count) {
    ORVIK_SESSION(session, handle);
    if (!templ && count) return CKR_ARGUMENTS_BAD;
    if (session->finding) return CKR_OPERATION_ACTIVE;
    // A new search sees what other processes imported or deleted since.
    module().token().refresh();
    session->found = module().token().find(templ, count);
    session->next = 0;
    session->finding = true;
    return CKR_OK;
}

CK_RV FindObjects(CK_SESSION_HANDLE handle, CK_OBJECT_HANDLE* objects, CK_ULONG max, CK_ULONG* count) {
    ORVIK_SESSION(session, handle);
    if (!session->finding) return CKR_OPERATION_NOT_INITIALIZED;
    if (!objects || !count) return CKR_ARGUMENTS_BAD;
    CK_ULONG n = 0;
    while (n < max && session->next < session->found.size()) objects[n++] = session->found[session->next++];
    *count = n;
    return CKR_OK;
}

CK_RV FindObjectsFinal(CK_SESSION_HANDLE handle) {
    ORVIK_SESSION(session, handle);
    if (!session->finding) return CKR_OPERATION_NOT_INITIALIZED;
    session->finding = false;
    session->found.clear();
    return CKR_OK;
}

// Starts a signature or a decryption with a private key of the token.
CK_RV startOperation(CK_SESSION_HANDLE handle, CK_MECHANISM* mechanism, CK_OBJECT_HANDLE key, KeyOperation::Kind kind) {
    ORVIK_SESSION(session, handle);
    auto& slot = kind == KeyOperation::Kind::Sign ? session->sign : session->decrypt;
    if (slot) return CKR_OPERATION_ACTIVE;
    if (!mechanism) return CKR_ARGUMENTS_BAD;
    auto object = module().token().object(key);
    if (!object) return CKR_KEY_HANDLE_INVALID;
    if (object->cls != CKO_PRIVATE_KEY) return CKR_KEY_TYPE_INCONSISTENT;
    if (!p11::mechanism(mechanism->mechanism, kind == KeyOperation::Kind::Sign ? CKF_SIGN : CKF_DECRYPT))
        return CKR_MECHANISM_INVALID;
    CK_RV rv = CKR_OK;
    std::shared_ptr<EVP_PKEY> pkey = module().token().privateKey(*object, rv);
    if (!pkey) return rv;
    return KeyOperation::start(kind, *mechanism, *object, std::move(pkey), slot);
}

// Runs one step of the session's operation, ending it when the step says so.
template <class Step>
CK_RV runOperation(CK_SESSION_HANDLE handle, KeyOperation::Kind kind, Step step) {
    ORVIK_SESSION(session, handle);
    auto& slot = kind == KeyOperation::Kind::Sign ? session->sign : session->decrypt;
    if (!slot) return CKR_OPERATION_NOT_INITIALIZED;
    bool done = false;
    CK_RV rv = step(*slot, done);
    if (done) slot.reset();
    return rv;
}

CK_RV SignInit(CK_SESSION_HANDLE session, CK_MECHANISM* mechanism, CK_OBJECT_HANDLE key) {
    return startOperation(session, mechanism, key, KeyOperation::Kind::Sign);
}

CK_RV Sign(CK_SESSION_HANDLE session, CK_BYTE* data, CK_ULONG size, CK_BYTE* signature, CK_ULONG* signatureSize) {
    return runOperation(session, KeyOperation::Kind::Sign, [&](KeyOperation& op, bool& done) {
        return op.single(data, size, signature, signatureSize, done);
    });
}

CK_RV SignUpdate(CK_SESSION_HANDLE session, CK_BYTE* data, CK_ULONG size) {
    return runOperation(session, KeyOperation::Kind::Sign,
                        [&](KeyOperation& op, bool& done) { return op.update(data, size, done); });
}

CK_RV SignFinal(CK_SESSION_HANDLE session, CK_BYTE* signature, CK_ULONG* signatureSize) {
    return runOperation(session, KeyOperation::Kind::Sign,
                        [&](KeyOperation& op, bool& done) { return op.finish(signature, signatureSize, done); });
}

CK_RV DecryptInit(CK_SESSION_HANDLE session, CK_MECHANISM* mechanism, CK_OBJECT_HANDLE key) {
    return startOperation(session, mechanism, key, KeyOperation::Kind::Decrypt);
}

CK_RV Decrypt(CK_SESSION_HANDLE session, CK_BYTE* data, CK_ULONG size, CK_BYTE* plain, CK_ULONG* plainSize) {
    return runOperation(session, KeyOperation::Kind::Decrypt,
                        [&](KeyOperation& op, bool& done) { return op.single(data, size, plain, plainSize, done); });
}

// RSA decryption is single-part.
CK_RV DecryptUpdate(CK_SESSION_HANDLE session, CK_BYTE*, CK_ULONG, CK_BYTE*, CK_ULONG*) {
    CK_RV rv = sessionOnly(session);
    return rv != CKR_OK ? rv : CKR_FUNCTION_NOT_SUPPORTED;
}

CK_RV DecryptFinal(CK_SESSION_HANDLE session, CK_BYTE*, CK_ULONG*) {
    CK_RV rv = sessionOnly(session);
    return rv != CKR_OK ? rv : CKR_FUNCTION_NOT_SUPPORTED;
}

// Functions for which the token offers no mechanism: their starts refuse every one, and their
// steps have nothing started.
CK_RV NoMechanism(CK_SESSION_HANDLE session, CK_MECHANISM*, CK_OBJECT_HANDLE) {
    CK_RV rv = sessionOnly(session);
    return rv != CKR_OK ? rv : CKR_MECHANISM_INVALID;
}

CK_RV DigestInit(CK_SESSION_HANDLE session, CK_MECHANISM*) {
    CK_RV rv = sessionOnly(session);
    return rv != CKR_OK ? rv : CKR_MECHANISM_INVALID;
}

CK_RV InOut(CK_SESSION_HANDLE session, CK_BYTE*, CK_ULONG, CK_BYTE*, CK_ULONG*) {
    CK_RV rv = sessionOnly(session);
    return rv != CKR_OK ? rv : CKR_OPERATION_NOT_INITIALIZED;
}

CK_RV In(CK_SESSION_HANDLE session, CK_BYTE*, CK_ULONG) {
    CK_RV rv = sessionOnly(session);
    return rv != CKR_OK ? rv : CKR_OPERATION_NOT_INITIALIZED;
}

CK_RV Out(CK_SESSION_HANDLE session, CK_BYTE*, CK_ULONG*) {
    CK_RV rv = sessionOnly(session);
    return rv != CKR_OK ? rv : CKR_OPERATION_NOT_INITIALIZED;
}

CK_RV DigestKey(CK_SESSION_HANDLE session, CK_OBJECT_HANDLE) {
    CK_RV rv = sessionOnly(session);
    return rv != CKR_OK ? rv : CKR_OPERATION_NOT_INITIALIZED;
}

CK_RV Verify(CK_SESSION_HANDLE session, CK_BYTE*, CK_ULONG, CK_BYTE*, CK_ULONG) {
    CK_RV rv = sessionOnly(session);
    return rv != CKR_OK ? rv : CKR_OPERATION_NOT_INITIALIZED;
}

CK_RV VerifyFinal(CK_SESSION_HANDLE session, CK_BYTE*, CK_ULONG) {
    CK_RV rv = sessionOnly(session);
    return rv != CKR_OK ? rv : CKR_OPERATION_NOT_INITIALIZED;
}

CK_RV GenerateKey(CK_SESSION_HANDLE session, CK_MECHANISM*, CK_ATTRIBUTE*, CK_ULONG, CK_OBJECT_HANDLE*) {
    CK_RV rv = sessionOnly(session);
    return rv != CKR_OK ? rv : CKR_MECHANISM_INVALID;
}

CK_RV GenerateKeyPair(CK_SESSION_HANDLE session, CK_MECHANISM*, CK_ATTRIBUTE*, CK_ULONG, CK_ATTRIBUTE*, CK_ULONG,
                      CK_OBJECT_HANDLE*, CK_OBJECT_HANDLE*) {
    CK_RV rv = sessionOnly(session);
    return rv != CKR_OK ? rv : CKR_MECHANISM_INVALID;
}

CK_RV WrapKey(CK_SESSION_HANDLE session, CK_MECHANISM*, CK_OBJECT_HANDLE, CK_OBJECT_HANDLE, CK_BYTE*, CK_ULONG*) {
    CK_RV rv = sessionOnly(session);
    return rv != CKR_OK ? rv : CKR_MECHANISM_INVALID;
}

CK_RV UnwrapKey(CK_SESSION_HANDLE session, CK_MECHANISM*, CK_OBJECT_HANDLE, CK_BYTE*, CK_ULONG, CK_ATTRIBUTE*, CK_ULONG,
                CK_OBJECT_HANDLE*) {
    CK_RV rv = sessionOnly(session);
    return rv != CKR_OK ? rv : CKR_MECHANISM_INVALID;
}

CK_RV DeriveKey(CK_SESSION_HANDLE session, CK_MECHANISM*, CK_OBJECT_HANDLE, CK_ATTRIBUTE*, CK_ULONG,
                CK_OBJECT_HANDLE*) {
    CK_RV rv = sessionOnly(session);
    return rv != CKR_OK ? rv : CKR_MECHANISM_INVALID;
}

CK_RV SeedRandom(CK_SESSION_HANDLE session, CK_BYTE*, CK_ULONG) {
    CK_RV rv = sessionOnly(session);
    return rv != CKR_OK ? rv : CKR_RANDOM_NO_RNG;
}

CK_RV GenerateRandom(CK_SESSION_HANDLE session, CK_BYTE*, CK_ULONG) {
    CK_RV rv = sessionOnly(session);
    return rv != CKR_OK ? rv : CKR_RANDOM_NO_RNG;
}

CK_RV GetFunctionStatus(CK_SESSION_HANDLE session) {
    CK_RV rv = sessionOnly(session);
    return rv != CKR_OK ? rv : CKR_FUNCTION_NOT_PARALLEL;
}

CK_RV CancelFunction(CK_SESSION_HANDLE session) {
    CK_RV rv = sessionOnly(session);
    return rv != CKR_OK ? rv : CKR_FUNCTION_NOT_PARALLEL;
}

CK_RV WaitForSlotEvent(CK_FLAGS, CK_SLOT_ID*, void*) {
    if (!module().initialized()) return CKR_CRYPTOKI_NOT_INITIALIZED;
    return CKR_FUNCTION_NOT_SUPPORTED;
}

CK_FUNCTION_LIST functionList = {
    {2, 40},
    Initialize,
    Finalize,
    GetInfo,
    GetFunctionList,
    GetSlotList,
    GetSlotInfo,
    GetTokenInfo,
    GetMechanismList,
    GetMechanismInfo,
    InitToken,
    InitPIN,
    SetPIN,
    OpenSession,
    CloseSession,
    CloseAllSessions,
    GetSessionInfo,
    GetOperationState,
    SetOperationState,
    Login,
    Logout,
    CreateObject,
    CopyObject,
    DestroyObject,
    GetObjectSize,
    GetAttributeValue,
    SetAttributeValue,
    FindObjectsInit,
    FindObjects,
    FindObjectsFinal,
    NoMechanism,
    InOut,
    InOut,
    Out,
    DecryptInit,
    Decrypt,
    DecryptUpdate,
    DecryptFinal,
    DigestInit,
    InOut,
    In,
    DigestKey,
    Out,
    SignInit,
    Sign,
    SignUpdate,
    SignFinal,
    NoMechanism,
    InOut,
    NoMechanism,
    Verify,
    In,
    VerifyFinal,
    NoMechanism,
    InOut,
    InOut,
    InOut,
    InOut,
    InOut,
    GenerateKey,
    GenerateKeyPair,
    WrapKey,
    UnwrapKey,
    DeriveKey,
    SeedRandom,
    GenerateRandom,
    GetFunctionStatus,
    CancelFunction,
    WaitForSlotEvent,
};

CK_RV GetFunctionList(CK_FUNCTION_LIST** list) {
    if (!list) return CKR_ARGUMENTS_BAD;
    *list = &functionList;
    return CKR_OK;
}

}  // namespace

}  // namespace orvik::p11

extern "C" __attribute__((visibility("default"))) CK_RV C_GetFunctionList(CK_FUNCTION_LIST** list) {
    return orvik::p11::GetFunctionList(list);
}
