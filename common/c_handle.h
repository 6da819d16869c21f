#pragma once

#include <memory>

namespace ftmd {

// Frees a C library handle with its own function; a null handle is left alone.
template <auto Free>
struct CHandleFree {
  template <typename T>
  void operator()(T* handle) const {
    if (handle != nullptr) Free(handle);
  }
};

// Owns a C library handle, e.g.
//   using EvpMdCtx = CHandle<EVP_MD_CTX, EVP_MD_CTX_free>;
//   using File = CHandle<FILE, std::fclose>;
template <typename T, auto Free>
using CHandle = std::unique_ptr<T, CHandleFree<Free>>;

}  // namespace ftmd
