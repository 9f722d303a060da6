// A wrapper around one open key of the settings key store (KeyStore.h), in
// narrow (UTF-8) and wide forms. Used for the few values the program keeps
// outside its options file, such as the viewing-tips switch.
#pragma once
#include <cstdint>

#include "foundation/KeyStore.h"

// Value types.
inline constexpr uint32_t REG_SZ = 1;
inline constexpr uint32_t REG_EXPAND_SZ = 2;
inline constexpr uint32_t REG_DWORD = 4;
inline constexpr uint32_t REG_MULTI_SZ = 7;

// Every call returns 0 or an errno value: ENOENT for a missing key or
// value, EBADF when no key is open, EACCES for a write through a key opened
// for reading, ERANGE when the buffer is too small (the size needed is
// returned), ENOTSUP on the classes root, E2BIG for a value over 1 MiB,
// ENAMETOOLONG for a path or value name over 4096 bytes.
class CMyRegKey {
 public:
  CMyRegKey() = default;
  virtual ~CMyRegKey() = default;  // leaves the key open, as callers expect

  // Opens the sub key for reading and writing, creating it and its missing
  // parents. A null or empty sub key names the parent itself.
  int Create(const KeyHandle& parent, const char* subKey);
  int CreateW(const KeyHandle& parent, const char16_t* subKey);
  // Opens an existing sub key for reading.
  int Open(const KeyHandle& parent, const char* subKey);
  int OpenW(const KeyHandle& parent, const char16_t* subKey);
  int Close();

  // The data's length follows from the type: string types up to their
  // terminator (a multi-string up to the empty string that ends it), any
  // other type 4 bytes. A null name is the key's default value.
  int SetValue(const char* name, uint32_t type, const void* data);
  int SetValueW(const char16_t* name, uint32_t type, const void* data);
  // *size: the buffer's size in, the data's size out (with the string's
  // terminator). A null buffer only asks for the size. After string data
  // one more zero byte is stored, so callers pass one byte less than their
  // buffer holds. On failure the buffer is left untouched.
  int QueryValue(const char* name, uint32_t* type, void* buffer, uint32_t* size);
  int QueryValueW(const char16_t* name, uint32_t* type, void* buffer, uint32_t* size);

  KeyHandle key;
};
