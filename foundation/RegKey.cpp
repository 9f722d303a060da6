#include "foundation/RegKey.h"

#include <cerrno>
#include <cstddef>
#include <cstring>

#include "platform/Text.h"

namespace {

// Length of a string value in characters without its final terminator:
// for a multi-string, up to the empty string that ends the list. -1 when
// the text runs past the value size limit.
template <class C>
std::ptrdiff_t StringLength(const C* text, uint32_t type) {
  const size_t limit = KeyStore::kMaxValueBytes;
  size_t i = 0;
  if (type != REG_MULTI_SZ) {
    while (i <= limit && text[i] != 0) ++i;
  } else {
    while (i <= limit && text[i] != 0) {
      while (i <= limit && text[i] != 0) ++i;
      ++i;  // the string's own terminator
    }
  }
  return i > limit ? -1 : std::ptrdiff_t(i);
}

std::string NarrowName(const char* name) { return name ? ToUtf8(FromUtf8(name)) : std::string(); }
std::string WideName(const char16_t* name) { return name ? ToUtf8(WStringView(name)) : std::string(); }

int OpenKey(const KeyHandle& parent, const std::string& subKey, bool create, KeyHandle* out) {
  if (!parent.IsOpen()) return EBADF;
  if (create && !parent.writable) return EACCES;
  std::string path;
  if (!KeyStore::NormalizePath(parent.path + "\\" + subKey, &path)) return ENAMETOOLONG;
  int e = create ? KeyStore::CreateKey(parent.root, path) : KeyStore::KeyExists(parent.root, path);
  if (e) return e;
  *out = KeyHandle{parent.root, path, create};
  return 0;
}

int StoreValue(const KeyHandle& key, const std::string& name, const KeyValue& value) {
  if (!key.IsOpen()) return EBADF;
  if (!key.writable) return EACCES;
  if (name.size() > KeyStore::kMaxPathBytes) return ENAMETOOLONG;
  return KeyStore::SetValue(key.root, key.path, name, value);
}

// The data as the caller sees it: string values with their terminator.
int FetchValue(const KeyHandle& key, const std::string& name, bool wide, uint32_t* type, void* buffer,
               uint32_t* size) {
  if (!key.IsOpen()) return EBADF;
  if (!size) return EINVAL;
  KeyValue v;
  if (int e = KeyStore::GetValue(key.root, key.path, name, &v)) return e;
  std::string bytes;
  if (!KeyStore::IsStringType(v.type)) {
    bytes = std::move(v.data);
  } else if (wide) {
    WString text = FromUtf8(v.data);
    text.push_back(0);
    bytes.assign(reinterpret_cast<const char*>(text.data()), text.size() * sizeof(char16_t));
  } else {
    bytes = std::move(v.data);
    bytes.push_back(0);
  }
  if (type) *type = v.type;
  const uint32_t needed = uint32_t(bytes.size());
  if (!buffer) {
    *size = needed;
    return 0;
  }
  if (*size < needed) {
    *size = needed;
    return ERANGE;
  }
  memcpy(buffer, bytes.data(), needed);
  *size = needed;
  if (KeyStore::IsStringType(v.type)) static_cast<char*>(buffer)[needed] = 0;
  return 0;
}

}  // namespace

int CMyRegKey::Create(const KeyHandle& parent, const char* subKey) {
  return OpenKey(parent, NarrowName(subKey), true, &key);
}

int CMyRegKey::CreateW(const KeyHandle& parent, const char16_t* subKey) {
  return OpenKey(parent, WideName(subKey), true, &key);
}

int CMyRegKey::Open(const KeyHandle& parent, const char* subKey) {
  return OpenKey(parent, NarrowName(subKey), false, &key);
}

int CMyRegKey::OpenW(const KeyHandle& parent, const char16_t* subKey) {
  return OpenKey(parent, WideName(subKey), false, &key);
}

int CMyRegKey::Close() {
  if (!key.IsOpen()) return EBADF;
  key = KeyHandle{};
  return 0;
}

int CMyRegKey::SetValue(const char* name, uint32_t type, const void* data) {
  if (!data) return EINVAL;
  KeyValue v{type, {}};
  if (KeyStore::IsStringType(type)) {
    const char* text = static_cast<const char*>(data);
    std::ptrdiff_t n = StringLength(text, type);
    if (n < 0) return E2BIG;
    v.data = ToUtf8(FromUtf8(std::string_view(text, size_t(n))));
  } else {
    v.data.assign(static_cast<const char*>(data), 4);
  }
  return StoreValue(key, NarrowName(name), v);
}

int CMyRegKey::SetValueW(const char16_t* name, uint32_t type, const void* data) {
  if (!data) return EINVAL;
  KeyValue v{type, {}};
  if (KeyStore::IsStringType(type)) {
    const char16_t* text = static_cast<const char16_t*>(data);
    std::ptrdiff_t n = StringLength(text, type);
    if (n < 0) return E2BIG;
    v.data = ToUtf8(WStringView(text, size_t(n)));
  } else {
    v.data.assign(static_cast<const char*>(data), 4);
  }
  return StoreValue(key, WideName(name), v);
}

int CMyRegKey::QueryValue(const char* name, uint32_t* type, void* buffer, uint32_t* size) {
  return FetchValue(key, NarrowName(name), false, type, buffer, size);
}

int CMyRegKey::QueryValueW(const char16_t* name, uint32_t* type, void* buffer, uint32_t* size) {
  return FetchValue(key, WideName(name), true, type, buffer, size);
}
