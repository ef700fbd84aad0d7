// A unique_ptr that frees with a C library's free function: Owned<X509, X509_free>.
#pragma once

#include <memory>
#include <type_traits>

namespace orvik {

template <class T, void (*Free)(T*)>
using Owned = std::unique_ptr<T, std::integral_constant<decltype(Free), Free>>;

}  // namespace orvik
