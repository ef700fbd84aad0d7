// The sealed form of a key container's bytes, AES-256-GCM under the user's sealing key:
//
//   "ORVKSEAL"   magic, which a plain container ("ORVKEY02") never starts with
//   u8           version, 1
//   u8 + bytes   the id of the sealing key in the Secret Service (ASCII)
//   12 bytes     nonce
//   ...          the plain container, encrypted
//   16 bytes     tag
//
// The associated data is the header and the container's scope and name: a sealed file put in
// place of another container does not open there.
#pragma once

#include <cstddef>
#include <string>

#include <orvik/Secret.h>

#include "SecretStore.h"

namespace orvik::secret {

bool looksSealed(const unsigned char* data, size_t size);

// Seals `plain`, making the sealing key in the Secret Service when it has none yet. Anything but
// Ok leaves `out` empty; Absent means no Secret Service in this session.
Outcome seal(const std::string& context, const SecretBytes& plain, SecretBytes& out, std::string& detail);

enum class Opened { Ok, Damaged, KeyMissing, Absent, Locked, Failed };

// Opens a sealed container. Damaged: not a sealed container of this name, or altered.
// KeyMissing: the Secret Service no longer keeps the key that sealed it.
Opened open(const std::string& context, const unsigned char* data, size_t size, SecretBytes& plain,
            std::string& detail);

}  // namespace orvik::secret
