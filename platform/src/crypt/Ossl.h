// OpenSSL objects owned by pointer types that free them in one place.
#pragma once

#include <openssl/bio.h>
#include <openssl/evp.h>
#include <openssl/pkcs7.h>
#include <openssl/rsa.h>
#include <openssl/x509.h>
#include <openssl/x509v3.h>

#include <orvik/Owned.h>

namespace orvik::ossl {

using orvik::Owned;

using X509Ptr = Owned<X509, X509_free>;
using X509CrlPtr = Owned<X509_CRL, X509_CRL_free>;
using X509NamePtr = Owned<X509_NAME, X509_NAME_free>;
using X509StorePtr = Owned<X509_STORE, X509_STORE_free>;
using BioPtr = Owned<BIO, BIO_free_all>;
using PKeyPtr = Owned<EVP_PKEY, EVP_PKEY_free>;
using PKeyCtxPtr = Owned<EVP_PKEY_CTX, EVP_PKEY_CTX_free>;
using Pkcs7Ptr = Owned<PKCS7, PKCS7_free>;
using BnPtr = Owned<BIGNUM, BN_free>;
using BnCtxPtr = Owned<BN_CTX, BN_CTX_free>;
using MdCtxPtr = Owned<EVP_MD_CTX, EVP_MD_CTX_free>;
using GeneralNamesPtr = Owned<GENERAL_NAMES, GENERAL_NAMES_free>;
using DistPointsPtr = Owned<CRL_DIST_POINTS, CRL_DIST_POINTS_free>;
using Asn1BitStringPtr = Owned<ASN1_BIT_STRING, ASN1_BIT_STRING_free>;

inline void freeOpenSslString(char* s) { OPENSSL_free(s); }
using OsslString = Owned<char, freeOpenSslString>;

}  // namespace orvik::ossl
