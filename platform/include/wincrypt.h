// Certificate, store, message and provider services (CryptoAPI), the subset the system calls.
// Structures are the SDK's; their sizes come from sizeof on this target.
#pragma once

#include "windef.h"
#include "winerror.h"

typedef ULONG_PTR HCRYPTPROV;
typedef ULONG_PTR HCRYPTKEY;
typedef ULONG_PTR HCRYPTHASH;
typedef ULONG_PTR HCRYPTPROV_LEGACY;
typedef ULONG_PTR HCRYPTPROV_OR_NCRYPT_KEY_HANDLE;
typedef void* HCERTSTORE;
typedef unsigned int ALG_ID;

// Encodings
#define CRYPT_ASN_ENCODING 0x00000001
#define X509_ASN_ENCODING 0x00000001
#define PKCS_7_ASN_ENCODING 0x00010000

// Errors (HRESULTs as the SDK defines them)
#define CRYPT_E_MSG_ERROR ((HRESULT)0x80091001L)
#define CRYPT_E_UNKNOWN_ALGO ((HRESULT)0x80091002L)
#define CRYPT_E_OID_FORMAT ((HRESULT)0x80091003L)
#define CRYPT_E_INVALID_MSG_TYPE ((HRESULT)0x80091004L)
#define CRYPT_E_UNEXPECTED_ENCODING ((HRESULT)0x80091005L)
#define CRYPT_E_HASH_VALUE ((HRESULT)0x80091007L)
#define CRYPT_E_SIGNER_NOT_FOUND ((HRESULT)0x8009100EL)
#define CRYPT_E_STREAM_MSG_NOT_READY ((HRESULT)0x80091010L)
#define CRYPT_E_RECIPIENT_NOT_FOUND ((HRESULT)0x8009100BL)
#define CRYPT_E_BAD_ENCODE ((HRESULT)0x80092002L)
#define CRYPT_E_FILE_ERROR ((HRESULT)0x80092003L)
#define CRYPT_E_NOT_FOUND ((HRESULT)0x80092004L)
#define CRYPT_E_EXISTS ((HRESULT)0x80092005L)
#define CRYPT_E_NO_PROVIDER ((HRESULT)0x80092006L)
#define CRYPT_E_SELF_SIGNED ((HRESULT)0x80092007L)
#define CRYPT_E_DELETED_PREV ((HRESULT)0x80092008L)
#define CRYPT_E_NO_MATCH ((HRESULT)0x80092009L)
#define CRYPT_E_NO_KEY_PROPERTY ((HRESULT)0x8009200BL)
#define CRYPT_E_NO_DECRYPT_CERT ((HRESULT)0x8009200CL)
#define CRYPT_E_BAD_MSG ((HRESULT)0x8009200DL)
#define CRYPT_E_NO_SIGNER ((HRESULT)0x8009200EL)
#define CRYPT_E_PENDING_CLOSE ((HRESULT)0x8009200FL)
#define CRYPT_E_REVOKED ((HRESULT)0x80092010L)
#define CRYPT_E_NO_REVOCATION_DLL ((HRESULT)0x80092011L)
#define CRYPT_E_NO_REVOCATION_CHECK ((HRESULT)0x80092012L)
#define CRYPT_E_REVOCATION_OFFLINE ((HRESULT)0x80092013L)
#define CRYPT_E_NOT_IN_REVOCATION_DATABASE ((HRESULT)0x80092014L)
#define CRYPT_E_INVALID_NUMERIC_STRING ((HRESULT)0x80092020L)
#define CRYPT_E_ASN1_BADTAG ((HRESULT)0x8009310BL)
#define CRYPT_E_ASN1_CORRUPT ((HRESULT)0x80093104L)
#define NTE_BAD_UID ((HRESULT)0x80090001L)
#define NTE_BAD_HASH ((HRESULT)0x80090002L)
#define NTE_BAD_KEY ((HRESULT)0x80090003L)
#define NTE_BAD_LEN ((HRESULT)0x80090004L)
#define NTE_BAD_DATA ((HRESULT)0x80090005L)
#define NTE_BAD_SIGNATURE ((HRESULT)0x80090006L)
#define NTE_BAD_VER ((HRESULT)0x80090007L)
#define NTE_BAD_ALGID ((HRESULT)0x80090008L)
#define NTE_BAD_FLAGS ((HRESULT)0x80090009L)
#define NTE_BAD_TYPE ((HRESULT)0x8009000AL)
#define NTE_BAD_KEY_STATE ((HRESULT)0x8009000BL)
#define NTE_BAD_HASH_STATE ((HRESULT)0x8009000CL)
#define NTE_NO_KEY ((HRESULT)0x8009000DL)
#define NTE_NO_MEMORY ((HRESULT)0x8009000EL)
#define NTE_EXISTS ((HRESULT)0x8009000FL)
#define NTE_PERM ((HRESULT)0x80090010L)
#define NTE_NOT_FOUND ((HRESULT)0x80090011L)
#define NTE_BAD_PROVIDER ((HRESULT)0x80090013L)
#define NTE_BAD_PROV_TYPE ((HRESULT)0x80090014L)
#define NTE_BAD_KEYSET ((HRESULT)0x80090016L)
#define NTE_PROV_TYPE_NOT_DEF ((HRESULT)0x80090017L)
#define NTE_KEYSET_NOT_DEF ((HRESULT)0x80090019L)
#define NTE_BAD_KEYSET_PARAM ((HRESULT)0x8009001FL)
#define NTE_FAIL ((HRESULT)0x80090020L)
#define NTE_SILENT_CONTEXT ((HRESULT)0x80090022L)
// Smart-card results a token's provider gives.
#define SCARD_E_NO_SMARTCARD ((HRESULT)0x8010000CL)
#define SCARD_W_WRONG_CHV ((HRESULT)0x8010006BL)
#define SCARD_W_CHV_BLOCKED ((HRESULT)0x8010006CL)
#define SCARD_W_CANCELLED_BY_USER ((HRESULT)0x8010006EL)
#define SCARD_E_NO_SUCH_CERTIFICATE ((HRESULT)0x8010002CL)

// Algorithms
#define ALG_CLASS_SIGNATURE (1 << 13)
#define ALG_CLASS_DATA_ENCRYPT (3 << 13)
#define ALG_CLASS_HASH (4 << 13)
#define ALG_CLASS_KEY_EXCHANGE (5 << 13)
#define CALG_MD5 0x00008003
#define CALG_SHA1 0x00008004
#define CALG_SHA 0x00008004
#define CALG_SHA_256 0x0000800c
#define CALG_RSA_SIGN 0x00002400
#define CALG_RSA_KEYX 0x0000a400
#define CALG_DES 0x00006601
#define CALG_3DES_112 0x00006609
#define CALG_3DES 0x00006603
#define CALG_RC2 0x00006602

// Providers
#define PROV_RSA_FULL 1
#define MS_DEF_PROV_A "Microsoft Base Cryptographic Provider v1.0"
#define MS_ENHANCED_PROV_A "Microsoft Enhanced Cryptographic Provider v1.0"
#define MS_STRONG_PROV_A "Microsoft Strong Cryptographic Provider"
#define PP_IMPTYPE 3
#define PP_NAME 4
#define PP_CONTAINER 6
#define CRYPT_IMPL_HARDWARE 1
#define CRYPT_IMPL_SOFTWARE 2
#define CRYPT_VERIFYCONTEXT 0xF0000000
#define CRYPT_NEWKEYSET 0x00000008
#define CRYPT_DELETEKEYSET 0x00000010
#define CRYPT_MACHINE_KEYSET 0x00000020
#define CRYPT_SILENT 0x00000040
#define AT_KEYEXCHANGE 1
#define AT_SIGNATURE 2

// Blob types
#define SIMPLEBLOB 0x1
#define PUBLICKEYBLOB 0x6
#define PRIVATEKEYBLOB 0x7
#define PLAINTEXTKEYBLOB 0x8
#define CUR_BLOB_VERSION 2
#define CRYPT_EXPORTABLE 0x00000001
#define CRYPT_USER_PROTECTED 0x00000002

// Key parameters and permissions
#define KP_IV 1
#define KP_PADDING 3
#define KP_MODE 4
#define KP_PERMISSIONS 6
#define KP_ALGID 7
#define KP_BLOCKLEN 8
#define KP_KEYLEN 9
#define KP_CERTIFICATE 26
#define CRYPT_ENCRYPT 0x0001
#define CRYPT_DECRYPT 0x0002
#define CRYPT_EXPORT 0x0004
#define CRYPT_READ 0x0008
#define CRYPT_WRITE 0x0010
#define CRYPT_MAC 0x0020

// Hash parameters
#define HP_ALGID 0x0001
#define HP_HASHVAL 0x0002
#define HP_HASHSIZE 0x0004

// PKCS #12 export
#define EXPORT_PRIVATE_KEYS 0x0004
#define REPORT_NO_PRIVATE_KEY 0x0001
#define REPORT_NOT_ABLE_TO_EXPORT_PRIVATE_KEY 0x0002
#define PKCS12_INCLUDE_EXTENDED_PROPERTIES 0x0010

typedef struct _PUBLICKEYSTRUC {
    BYTE bType;
    BYTE bVersion;
    WORD reserved;
    ALG_ID aiKeyAlg;
} BLOBHEADER, PUBLICKEYSTRUC;

typedef struct _RSAPUBKEY {
    DWORD magic;  // "RSA1" public, "RSA2" private
    DWORD bitlen;
    DWORD pubexp;
} RSAPUBKEY;

typedef struct _CRYPTOAPI_BLOB {
    DWORD cbData;
    BYTE* pbData;
} CRYPT_INTEGER_BLOB, *PCRYPT_INTEGER_BLOB, CRYPT_UINT_BLOB, *PCRYPT_UINT_BLOB, CRYPT_OBJID_BLOB, *PCRYPT_OBJID_BLOB,
    CERT_NAME_BLOB, *PCERT_NAME_BLOB, CERT_RDN_VALUE_BLOB, *PCERT_RDN_VALUE_BLOB, CERT_BLOB, *PCERT_BLOB, CRL_BLOB,
    *PCRL_BLOB, DATA_BLOB, *PDATA_BLOB, CRYPT_DATA_BLOB, *PCRYPT_DATA_BLOB, CRYPT_HASH_BLOB, *PCRYPT_HASH_BLOB,
    CRYPT_DIGEST_BLOB, *PCRYPT_DIGEST_BLOB, CRYPT_DER_BLOB, *PCRYPT_DER_BLOB, CRYPT_ATTR_BLOB, *PCRYPT_ATTR_BLOB;

typedef struct _CRYPT_BIT_BLOB {
    DWORD cbData;
    BYTE* pbData;
    DWORD cUnusedBits;
} CRYPT_BIT_BLOB, *PCRYPT_BIT_BLOB;

typedef struct _CRYPT_ALGORITHM_IDENTIFIER {
    LPSTR pszObjId;
    CRYPT_OBJID_BLOB Parameters;
} CRYPT_ALGORITHM_IDENTIFIER, *PCRYPT_ALGORITHM_IDENTIFIER;

typedef struct _CERT_PUBLIC_KEY_INFO {
    CRYPT_ALGORITHM_IDENTIFIER Algorithm;
    CRYPT_BIT_BLOB PublicKey;
} CERT_PUBLIC_KEY_INFO, *PCERT_PUBLIC_KEY_INFO;

typedef struct _CERT_EXTENSION {
    LPSTR pszObjId;
    BOOL fCritical;
    CRYPT_OBJID_BLOB Value;
} CERT_EXTENSION, *PCERT_EXTENSION;
typedef const CERT_EXTENSION* PCCERT_EXTENSION;

typedef struct _CERT_INFO {
    DWORD dwVersion;
    CRYPT_INTEGER_BLOB SerialNumber;  // little-endian
    CRYPT_ALGORITHM_IDENTIFIER SignatureAlgorithm;
    CERT_NAME_BLOB Issuer;
    FILETIME NotBefore;
    FILETIME NotAfter;
    CERT_NAME_BLOB Subject;
    CERT_PUBLIC_KEY_INFO SubjectPublicKeyInfo;
    CRYPT_BIT_BLOB IssuerUniqueId;
    CRYPT_BIT_BLOB SubjectUniqueId;
    DWORD cExtension;
    PCERT_EXTENSION rgExtension;
} CERT_INFO, *PCERT_INFO;

typedef struct _CERT_CONTEXT {
    DWORD dwCertEncodingType;
    BYTE* pbCertEncoded;
    DWORD cbCertEncoded;
    PCERT_INFO pCertInfo;
    HCERTSTORE hCertStore;
} CERT_CONTEXT, *PCERT_CONTEXT;
typedef const CERT_CONTEXT* PCCERT_CONTEXT;

#define CERT_V1 0
#define CERT_V2 1
#define CERT_V3 2

typedef struct _CRYPT_KEY_PROV_PARAM {
    DWORD dwParam;
    BYTE* pbData;
    DWORD cbData;
    DWORD dwFlags;
} CRYPT_KEY_PROV_PARAM, *PCRYPT_KEY_PROV_PARAM;

typedef struct _CRYPT_KEY_PROV_INFO {
    LPWSTR pwszContainerName;
    LPWSTR pwszProvName;
    DWORD dwProvType;
    DWORD dwFlags;
    DWORD cProvParam;
    PCRYPT_KEY_PROV_PARAM rgProvParam;
    DWORD dwKeySpec;
} CRYPT_KEY_PROV_INFO, *PCRYPT_KEY_PROV_INFO;

// Certificate properties
#define CERT_KEY_PROV_HANDLE_PROP_ID 1
#define CERT_KEY_PROV_INFO_PROP_ID 2
#define CERT_SHA1_HASH_PROP_ID 3
#define CERT_MD5_HASH_PROP_ID 4
#define CERT_HASH_PROP_ID CERT_SHA1_HASH_PROP_ID
#define CERT_KEY_CONTEXT_PROP_ID 5
#define CERT_KEY_SPEC_PROP_ID 6
#define CERT_FRIENDLY_NAME_PROP_ID 11
#define CERT_KEY_IDENTIFIER_PROP_ID 20
#define CERT_CERT_PROP_ID 32
#define CERT_CRL_PROP_ID 33
#define CERT_CTL_PROP_ID 34
#define CERT_FIRST_USER_PROP_ID 0x00008000
#define CERT_LAST_USER_PROP_ID 0x0000FFFF

// Name strings
#define CERT_SIMPLE_NAME_STR 1
#define CERT_OID_NAME_STR 2
#define CERT_X500_NAME_STR 3
#define CERT_NAME_STR_SEMICOLON_FLAG 0x40000000
#define CERT_NAME_STR_NO_PLUS_FLAG 0x20000000
#define CERT_NAME_STR_NO_QUOTING_FLAG 0x10000000
#define CERT_NAME_STR_CRLF_FLAG 0x08000000
#define CERT_NAME_STR_COMMA_FLAG 0x04000000
#define CERT_NAME_STR_REVERSE_FLAG 0x02000000

#define CERT_NAME_EMAIL_TYPE 1
#define CERT_NAME_RDN_TYPE 2
#define CERT_NAME_ATTR_TYPE 3
#define CERT_NAME_SIMPLE_DISPLAY_TYPE 4
#define CERT_NAME_FRIENDLY_DISPLAY_TYPE 5
#define CERT_NAME_ISSUER_FLAG 0x1

// Object identifiers
#define szOID_RSA "1.2.840.113549"
#define szOID_RSA_RSA "1.2.840.113549.1.1.1"
#define szOID_RSA_MD5RSA "1.2.840.113549.1.1.4"
#define szOID_RSA_SHA1RSA "1.2.840.113549.1.1.5"
#define szOID_RSA_MD5 "1.2.840.113549.2.5"
#define szOID_OIWSEC_sha1 "1.3.14.3.2.26"
#define szOID_RSA_data "1.2.840.113549.1.7.1"
#define szOID_RSA_emailAddr "1.2.840.113549.1.9.1"
#define szOID_RSA_DES_EDE3_CBC "1.2.840.113549.3.7"
#define szOID_COMMON_NAME "2.5.4.3"
#define szOID_KEY_USAGE "2.5.29.15"
#define szOID_SUBJECT_ALT_NAME2 "2.5.29.17"
#define szOID_ISSUER_ALT_NAME2 "2.5.29.18"
#define szOID_BASIC_CONSTRAINTS2 "2.5.29.19"
#define szOID_CRL_DIST_POINTS "2.5.29.31"
#define szOID_AUTHORITY_KEY_IDENTIFIER2 "2.5.29.35"

// Structure types of CryptDecodeObject
#define X509_KEY_USAGE ((LPCSTR)14)

#define CRYPT_DECODE_NOCOPY_FLAG 0x1

// Key-usage bits of the first byte
#define CERT_DIGITAL_SIGNATURE_KEY_USAGE 0x80
#define CERT_NON_REPUDIATION_KEY_USAGE 0x40
#define CERT_KEY_ENCIPHERMENT_KEY_USAGE 0x20
#define CERT_DATA_ENCIPHERMENT_KEY_USAGE 0x10
#define CERT_KEY_AGREEMENT_KEY_USAGE 0x08
#define CERT_KEY_CERT_SIGN_KEY_USAGE 0x04
#define CERT_CRL_SIGN_KEY_USAGE 0x02

// Stores
#define CERT_STORE_PROV_MEMORY ((LPCSTR)2)
#define CERT_STORE_PROV_SYSTEM_A ((LPCSTR)9)
#define CERT_STORE_PROV_SYSTEM CERT_STORE_PROV_SYSTEM_A
#define CERT_SYSTEM_STORE_LOCATION_SHIFT 16
#define CERT_SYSTEM_STORE_CURRENT_USER_ID 1
#define CERT_SYSTEM_STORE_LOCAL_MACHINE_ID 2
#define CERT_SYSTEM_STORE_CURRENT_USER (CERT_SYSTEM_STORE_CURRENT_USER_ID << CERT_SYSTEM_STORE_LOCATION_SHIFT)
#define CERT_SYSTEM_STORE_LOCAL_MACHINE (CERT_SYSTEM_STORE_LOCAL_MACHINE_ID << CERT_SYSTEM_STORE_LOCATION_SHIFT)
#define CERT_SYSTEM_STORE_LOCATION_MASK 0x00FF0000
#define CERT_STORE_READONLY_FLAG 0x00008000
#define CERT_STORE_OPEN_EXISTING_FLAG 0x00004000
#define CERT_STORE_CREATE_NEW_FLAG 0x00002000
#define CERT_STORE_MAXIMUM_ALLOWED_FLAG 0x00001000
#define CERT_STORE_NO_CRYPT_RELEASE_FLAG 0x00000001
#define CERT_STORE_DEFER_CLOSE_UNTIL_LAST_FREE_FLAG 0x00000004

#define CERT_CLOSE_STORE_FORCE_FLAG 0x00000001
#define CERT_CLOSE_STORE_CHECK_FLAG 0x00000002

#define CERT_STORE_ADD_NEW 1
#define CERT_STORE_ADD_USE_EXISTING 2
#define CERT_STORE_ADD_REPLACE_EXISTING 3
#define CERT_STORE_ADD_ALWAYS 4
#define CERT_STORE_ADD_REPLACE_EXISTING_INHERIT_PROPERTIES 5

#define CERT_FIND_ANY 0
#define CERT_COMPARE_SHA1_HASH 1
#define CERT_FIND_SHA1_HASH (CERT_COMPARE_SHA1_HASH << 16)
#define CERT_FIND_HASH CERT_FIND_SHA1_HASH
#define CERT_FIND_EXISTING (13 << 16)
#define CERT_FIND_SUBJECT_CERT (11 << 16)

// Revocation
#define CERT_CONTEXT_REVOCATION_TYPE 1
#define CERT_VERIFY_REV_CHAIN_FLAG 0x00000001
#define CERT_VERIFY_CACHE_ONLY_BASED_REVOCATION 0x00000002
#define CERT_VERIFY_REV_ACCUMULATIVE_TIMEOUT_FLAG 0x00000004

typedef struct _CERT_REVOCATION_PARA {
    DWORD cbSize;
    PCCERT_CONTEXT pIssuerCert;
    DWORD cCertStore;
    HCERTSTORE* rgCertStore;
    HCERTSTORE hCrlStore;
    LPFILETIME pftTimeToUse;
} CERT_REVOCATION_PARA, *PCERT_REVOCATION_PARA;

typedef struct _CERT_REVOCATION_STATUS {
    DWORD cbSize;
    DWORD dwIndex;
    DWORD dwError;
    DWORD dwReason;
    BOOL fHasFreshnessTime;
    DWORD dwFreshnessTime;
} CERT_REVOCATION_STATUS, *PCERT_REVOCATION_STATUS;

// Messages
typedef struct _CRYPT_ATTRIBUTE {
    LPSTR pszObjId;
    DWORD cValue;
    PCRYPT_ATTR_BLOB rgValue;
} CRYPT_ATTRIBUTE, *PCRYPT_ATTRIBUTE;

typedef struct _CRYPT_SIGN_MESSAGE_PARA {
    DWORD cbSize;
    DWORD dwMsgEncodingType;
    PCCERT_CONTEXT pSigningCert;
    CRYPT_ALGORITHM_IDENTIFIER HashAlgorithm;
    void* pvHashAuxInfo;
    DWORD cMsgCert;
    PCCERT_CONTEXT* rgpMsgCert;
    DWORD cMsgCrl;
    const void** rgpMsgCrl;
    DWORD cAuthAttr;
    PCRYPT_ATTRIBUTE rgAuthAttr;
    DWORD cUnauthAttr;
    PCRYPT_ATTRIBUTE rgUnauthAttr;
    DWORD dwFlags;
    DWORD dwInnerContentType;
} CRYPT_SIGN_MESSAGE_PARA, *PCRYPT_SIGN_MESSAGE_PARA;

typedef PCCERT_CONTEXT(WINAPI* PFN_CRYPT_GET_SIGNER_CERTIFICATE)(void* pvGetArg, DWORD dwCertEncodingType,
                                                                 PCERT_INFO pSignerId, HCERTSTORE hMsgCertStore);

typedef struct _CRYPT_ENCRYPT_MESSAGE_PARA {
    DWORD cbSize;
    DWORD dwMsgEncodingType;
    HCRYPTPROV_LEGACY hCryptProv;
    CRYPT_ALGORITHM_IDENTIFIER ContentEncryptionAlgorithm;
    void* pvEncryptionAuxInfo;
    DWORD dwFlags;
    DWORD dwInnerContentType;
} CRYPT_ENCRYPT_MESSAGE_PARA, *PCRYPT_ENCRYPT_MESSAGE_PARA;

typedef struct _CRYPT_DECRYPT_MESSAGE_PARA {
    DWORD cbSize;
    DWORD dwMsgAndCertEncodingType;
    DWORD cCertStore;
    HCERTSTORE* rghCertStore;
} CRYPT_DECRYPT_MESSAGE_PARA, *PCRYPT_DECRYPT_MESSAGE_PARA;

typedef struct _CRYPT_VERIFY_MESSAGE_PARA {
    DWORD cbSize;
    DWORD dwMsgAndCertEncodingType;
    HCRYPTPROV_LEGACY hCryptProv;
    PFN_CRYPT_GET_SIGNER_CERTIFICATE pfnGetSignerCertificate;
    void* pvGetArg;
} CRYPT_VERIFY_MESSAGE_PARA, *PCRYPT_VERIFY_MESSAGE_PARA;

extern "C" {

// Contexts
ORVIK_PLATFORM_API PCCERT_CONTEXT WINAPI CertCreateCertificateContext(DWORD encoding, const BYTE* encoded, DWORD size);
ORVIK_PLATFORM_API PCCERT_CONTEXT WINAPI CertDuplicateCertificateContext(PCCERT_CONTEXT context);
ORVIK_PLATFORM_API BOOL WINAPI CertFreeCertificateContext(PCCERT_CONTEXT context);
ORVIK_PLATFORM_API BOOL WINAPI CertGetCertificateContextProperty(PCCERT_CONTEXT context, DWORD propId, void* data,
                                                                 DWORD* size);
ORVIK_PLATFORM_API BOOL WINAPI CertSetCertificateContextProperty(PCCERT_CONTEXT context, DWORD propId, DWORD flags,
                                                                 const void* data);
ORVIK_PLATFORM_API DWORD WINAPI CertEnumCertificateContextProperties(PCCERT_CONTEXT context, DWORD propId);
ORVIK_PLATFORM_API BOOL WINAPI CertCompareCertificate(DWORD encoding, PCERT_INFO first, PCERT_INFO second);

// Names
ORVIK_PLATFORM_API DWORD WINAPI CertNameToStrA(DWORD encoding, PCERT_NAME_BLOB name, DWORD strType, LPSTR out,
                                               DWORD size);
ORVIK_PLATFORM_API DWORD WINAPI CertGetNameStringA(PCCERT_CONTEXT context, DWORD type, DWORD flags, void* typePara,
                                                   LPSTR out, DWORD size);

// Hashes, extensions, decoding
ORVIK_PLATFORM_API BOOL WINAPI CryptHashCertificate(HCRYPTPROV_LEGACY prov, ALG_ID alg, DWORD flags,
                                                    const BYTE* encoded, DWORD size, BYTE* hash, DWORD* hashSize);
ORVIK_PLATFORM_API PCERT_EXTENSION WINAPI CertFindExtension(LPCSTR oid, DWORD count, CERT_EXTENSION* extensions);
ORVIK_PLATFORM_API BOOL WINAPI CryptDecodeObject(DWORD encoding, LPCSTR structType, const BYTE* encoded, DWORD size,
                                                 DWORD flags, void* out, DWORD* outSize);

// Stores
ORVIK_PLATFORM_API HCERTSTORE WINAPI CertOpenStore(LPCSTR provider, DWORD encoding, HCRYPTPROV_LEGACY prov, DWORD flags,
                                                   const void* para);
ORVIK_PLATFORM_API HCERTSTORE WINAPI CertOpenSystemStoreA(HCRYPTPROV_LEGACY prov, LPCSTR name);
ORVIK_PLATFORM_API HCERTSTORE WINAPI CertDuplicateStore(HCERTSTORE store);
ORVIK_PLATFORM_API BOOL WINAPI CertCloseStore(HCERTSTORE store, DWORD flags);
ORVIK_PLATFORM_API PCCERT_CONTEXT WINAPI CertEnumCertificatesInStore(HCERTSTORE store, PCCERT_CONTEXT previous);
ORVIK_PLATFORM_API PCCERT_CONTEXT WINAPI CertFindCertificateInStore(HCERTSTORE store, DWORD encoding, DWORD findFlags,
                                                                    DWORD findType, const void* findPara,
                                                                    PCCERT_CONTEXT previous);
ORVIK_PLATFORM_API BOOL WINAPI CertAddCertificateContextToStore(HCERTSTORE store, PCCERT_CONTEXT context,
                                                                DWORD disposition, PCCERT_CONTEXT* added);
ORVIK_PLATFORM_API BOOL WINAPI CertAddEncodedCertificateToStore(HCERTSTORE store, DWORD encoding, const BYTE* encoded,
                                                                DWORD size, DWORD disposition, PCCERT_CONTEXT* added);
ORVIK_PLATFORM_API BOOL WINAPI CertAddCertificateLinkToStore(HCERTSTORE store, PCCERT_CONTEXT context,
                                                             DWORD disposition, PCCERT_CONTEXT* added);
ORVIK_PLATFORM_API BOOL WINAPI CertDeleteCertificateFromStore(PCCERT_CONTEXT context);
ORVIK_PLATFORM_API BOOL WINAPI CertSerializeCertificateStoreElement(PCCERT_CONTEXT context, DWORD flags, BYTE* out,
                                                                    DWORD* size);
ORVIK_PLATFORM_API BOOL WINAPI CertAddSerializedElementToStore(HCERTSTORE store, const BYTE* element, DWORD size,
                                                               DWORD disposition, DWORD flags, DWORD contextTypes,
                                                               DWORD* contextType, const void** context);

// Revocation
ORVIK_PLATFORM_API BOOL WINAPI CertVerifyRevocation(DWORD encoding, DWORD revType, DWORD count, void* contexts[],
                                                    DWORD flags, PCERT_REVOCATION_PARA para,
                                                    PCERT_REVOCATION_STATUS status);

// Messages
ORVIK_PLATFORM_API BOOL WINAPI CryptSignMessage(PCRYPT_SIGN_MESSAGE_PARA para, BOOL detached, DWORD count,
                                                const BYTE* parts[], DWORD partSizes[], BYTE* signedBlob,
                                                DWORD* signedSize);
ORVIK_PLATFORM_API BOOL WINAPI CryptVerifyDetachedMessageSignature(PCRYPT_VERIFY_MESSAGE_PARA para, DWORD signerIndex,
                                                                   const BYTE* signature, DWORD signatureSize,
                                                                   DWORD count, const BYTE* parts[], DWORD partSizes[],
                                                                   PCCERT_CONTEXT* signer);

ORVIK_PLATFORM_API BOOL WINAPI CryptEncryptMessage(PCRYPT_ENCRYPT_MESSAGE_PARA para, DWORD count,
                                                   PCCERT_CONTEXT recipients[], const BYTE* content, DWORD contentSize,
                                                   BYTE* out, DWORD* outSize);
// CRYPT_E_NO_DECRYPT_CERT when no store holds a recipient's certificate with its private key.
ORVIK_PLATFORM_API BOOL WINAPI CryptDecryptMessage(PCRYPT_DECRYPT_MESSAGE_PARA para, const BYTE* blob, DWORD blobSize,
                                                   BYTE* out, DWORD* outSize, PCCERT_CONTEXT* exchangeCert);

// Providers
ORVIK_PLATFORM_API BOOL WINAPI CryptAcquireContextA(HCRYPTPROV* prov, LPCSTR container, LPCSTR provider, DWORD provType,
                                                    DWORD flags);
ORVIK_PLATFORM_API BOOL WINAPI CryptReleaseContext(HCRYPTPROV prov, DWORD flags);
ORVIK_PLATFORM_API BOOL WINAPI CryptGetProvParam(HCRYPTPROV prov, DWORD param, BYTE* data, DWORD* size, DWORD flags);
// The software providers, then one provider per token present, named by the token's label.
ORVIK_PLATFORM_API BOOL WINAPI CryptEnumProvidersA(DWORD index, DWORD* reserved, DWORD flags, DWORD* provType,
                                                   LPSTR name, DWORD* size);
ORVIK_PLATFORM_API BOOL WINAPI CryptImportKey(HCRYPTPROV prov, const BYTE* data, DWORD size, HCRYPTKEY pubKey,
                                              DWORD flags, HCRYPTKEY* key);
ORVIK_PLATFORM_API BOOL WINAPI CryptExportKey(HCRYPTKEY key, HCRYPTKEY expKey, DWORD blobType, DWORD flags, BYTE* data,
                                              DWORD* size);
ORVIK_PLATFORM_API BOOL WINAPI CryptGetKeyParam(HCRYPTKEY key, DWORD param, BYTE* data, DWORD* size, DWORD flags);
ORVIK_PLATFORM_API BOOL WINAPI CryptSetKeyParam(HCRYPTKEY key, DWORD param, const BYTE* data, DWORD flags);
ORVIK_PLATFORM_API BOOL WINAPI CryptCreateHash(HCRYPTPROV prov, ALG_ID alg, HCRYPTKEY key, DWORD flags,
                                               HCRYPTHASH* hash);
ORVIK_PLATFORM_API BOOL WINAPI CryptHashData(HCRYPTHASH hash, const BYTE* data, DWORD size, DWORD flags);
ORVIK_PLATFORM_API BOOL WINAPI CryptGetHashParam(HCRYPTHASH hash, DWORD param, BYTE* data, DWORD* size, DWORD flags);
ORVIK_PLATFORM_API BOOL WINAPI CryptDestroyHash(HCRYPTHASH hash);
ORVIK_PLATFORM_API BOOL WINAPI CryptDeriveKey(HCRYPTPROV prov, ALG_ID alg, HCRYPTHASH hash, DWORD flags,
                                              HCRYPTKEY* key);
ORVIK_PLATFORM_API BOOL WINAPI CryptGenKey(HCRYPTPROV prov, ALG_ID alg, DWORD flags, HCRYPTKEY* key);
// 3DES-CBC from a zero IV with PKCS #5 padding on Final; chained calls continue the stream and
// Final returns the key to its initial state.
ORVIK_PLATFORM_API BOOL WINAPI CryptEncrypt(HCRYPTKEY key, HCRYPTHASH hash, BOOL final, DWORD flags, BYTE* data,
                                            DWORD* length, DWORD capacity);
ORVIK_PLATFORM_API BOOL WINAPI CryptDecrypt(HCRYPTKEY key, HCRYPTHASH hash, BOOL final, DWORD flags, BYTE* data,
                                            DWORD* length);
ORVIK_PLATFORM_API BOOL WINAPI CryptImportPublicKeyInfo(HCRYPTPROV prov, DWORD encoding, PCERT_PUBLIC_KEY_INFO info,
                                                        HCRYPTKEY* key);
ORVIK_PLATFORM_API BOOL WINAPI CryptGetUserKey(HCRYPTPROV prov, DWORD keySpec, HCRYPTKEY* key);
ORVIK_PLATFORM_API BOOL WINAPI CryptDestroyKey(HCRYPTKEY key);
// Writes the certificates of a store that have private keys, with those keys, as a PKCS #12
// file: key and certificate bags with pbeWithSHA1And3-KeyTripleDES-CBC, 2000 iterations, a
// SHA-1 MAC, localKeyID and friendly-name attributes, and the certificates' issuers.
ORVIK_PLATFORM_API BOOL WINAPI PFXExportCertStoreEx(HCERTSTORE store, CRYPT_DATA_BLOB* pfx, LPCWSTR password,
                                                    void* reserved, DWORD flags);
ORVIK_PLATFORM_API BOOL WINAPI CryptAcquireCertificatePrivateKey(PCCERT_CONTEXT context, DWORD flags, void* reserved,
                                                                 HCRYPTPROV* prov, DWORD* keySpec, BOOL* callerFree);

}  // extern "C"
