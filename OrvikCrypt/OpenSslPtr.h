// OpenSSL objects of the library, owned by pointer types that free them in one place.
#pragma once

#include <openssl/bio.h>
#include <openssl/evp.h>
#include <openssl/x509.h>

#include <orvik/Owned.h>

namespace orvik::crypt {

using orvik::Owned;

using X509Ptr = Owned<X509, X509_free>;
using BioPtr = Owned<BIO, BIO_free_all>;
using PKeyPtr = Owned<EVP_PKEY, EVP_PKEY_free>;

}  // namespace orvik::crypt
