// The personal store's PKCS#11 module: the names other programs and registrations know it by.
#pragma once

namespace orvik::p11 {

// The module's file, beside the programs in the program folder.
inline constexpr char kModuleFile[] = "libOrvikP11.so";
// Its one token, and the name NSS lists the module under.
inline constexpr char kTokenLabel[] = "Orvik个人证书";
inline constexpr char kManufacturer[] = "Orvikon";
inline constexpr char kModel[] = "Personal store";
inline constexpr char kNssModuleName[] = "Orvik个人证书";
// p11-kit's per-user module file: ~/.config/pkcs11/modules/<name>.module
inline constexpr char kP11KitModuleName[] = "orvik-personal";

}  // namespace orvik::p11
