// Export macro of the security library.
#pragma once

#if defined(ORVIKCRYPT_BUILD)
#define ORVIKCRYPT_API __attribute__((visibility("default")))
#else
#define ORVIKCRYPT_API
#endif
