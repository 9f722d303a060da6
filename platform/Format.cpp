#include "platform/Format.h"

#include <cstdio>
#include <cstring>

namespace {

struct Spec {
  std::string flags;
  int width = -1;
  int precision = -1;
  enum Len { None, Short, Long, LongLong } len = None;
  char16_t conv = 0;
};

// Parses the conversion that starts after the "%" at format[pos]; returns
// the index after it, or npos when the text is not a conversion we know.
size_t ParseSpec(WStringView f, size_t pos, Spec& s) {
  size_t i = pos;
  while (i < f.size() && (f[i] == u'-' || f[i] == u'0' || f[i] == u'+' || f[i] == u' ' || f[i] == u'#')) {
    if (s.flags.find(char(f[i])) == std::string::npos) s.flags.push_back(char(f[i]));
    ++i;
  }
  auto readNum = [&](int& out) {
    if (i < f.size() && f[i] >= u'0' && f[i] <= u'9') {
      int v = 0;
      while (i < f.size() && f[i] >= u'0' && f[i] <= u'9') {
        if (v < 100000) v = v * 10 + (f[i] - u'0');
        ++i;
      }
      out = v;
    }
  };
  readNum(s.width);
  if (i < f.size() && f[i] == u'.') {
    ++i;
    s.precision = 0;
    readNum(s.precision);
  }
  if (i + 2 < f.size() && f[i] == u'I' && f[i + 1] == u'6' && f[i + 2] == u'4') {
    s.len = Spec::LongLong;
    i += 3;
  } else if (i + 1 < f.size() && f[i] == u'l' && f[i + 1] == u'l') {
    s.len = Spec::LongLong;
    i += 2;
  } else if (i < f.size() && f[i] == u'l') {
    s.len = Spec::Long;
    ++i;
  } else if (i < f.size() && f[i] == u'h') {
    s.len = Spec::Short;
    ++i;
  }
  if (i >= f.size()) return WStringView::npos;
  char16_t c = f[i];
  switch (c) {
    case u's': case u'S': case u'c': case u'C': case u'd': case u'i': case u'u': case u'x':
    case u'X': case u'o': case u'f': case u'e': case u'E': case u'g': case u'G': case u'p':
      s.conv = c;
      return i + 1;
    default:
      return WStringView::npos;
  }
}

void Pad(WString& out, WStringView body, const Spec& s) {
  size_t w = s.width > 0 ? size_t(s.width) : 0;
  bool left = s.flags.find('-') != std::string::npos;
  if (!left && body.size() < w) out.append(w - body.size(), u' ');
  out.append(body);
  if (left && body.size() < w) out.append(w - body.size(), u' ');
}

std::string NarrowSpec(const Spec& s, const char* lenAndConv) {
  std::string f = "%" + s.flags;
  if (s.width >= 0) f += std::to_string(s.width);
  if (s.precision >= 0) f += "." + std::to_string(s.precision);
  f += lenAndConv;
  return f;
}

void AppendAscii(WString& out, const char* text) {
  for (const char* p = text; *p; ++p) out.push_back(char16_t(uint8_t(*p)));
}

bool AppendConversion(WString& out, const Spec& s, const FmtArg* a) {
  using K = FmtArg::Kind;
  char buf[512];
  switch (s.conv) {
    case u's': case u'S': {
      if (!a) return false;
      WString text;
      if (a->kind() == K::Wide) text = WString(a->w());
      else if (a->kind() == K::Narrow) text = FromUtf8(a->n());
      else if (a->kind() == K::Char) text = WString(1, a->c());
      else return false;
      if (s.precision >= 0 && text.size() > size_t(s.precision)) text.resize(size_t(s.precision));
      Pad(out, text, s);
      return true;
    }
    case u'c': case u'C': {
      if (!a) return false;
      char16_t c;
      if (a->kind() == K::Char) c = a->c();
      else if (a->kind() == K::Signed) c = char16_t(a->i());
      else if (a->kind() == K::Unsigned) c = char16_t(a->u());
      else return false;
      Pad(out, WStringView(&c, 1), s);
      return true;
    }
    case u'd': case u'i': case u'u': case u'x': case u'X': case u'o': {
      if (!a) return false;
      uint64_t raw;
      if (a->kind() == K::Signed) raw = uint64_t(a->i());
      else if (a->kind() == K::Unsigned) raw = a->u();
      else if (a->kind() == K::Char) raw = a->c();
      else return false;
      const bool wide = s.len == Spec::LongLong;
      char conv[4] = {'l', 'l', char(s.conv == u'i' ? 'd' : s.conv), 0};
      std::string f = NarrowSpec(s, conv);
      if (s.conv == u'd' || s.conv == u'i') {
        long long v = wide ? (long long)int64_t(raw)
                           : (s.len == Spec::Short ? (long long)int16_t(raw) : (long long)int32_t(raw));
        snprintf(buf, sizeof buf, f.c_str(), v);
      } else {
        unsigned long long v = wide ? raw : (s.len == Spec::Short ? uint16_t(raw) : uint32_t(raw));
        snprintf(buf, sizeof buf, f.c_str(), v);
      }
      AppendAscii(out, buf);
      return true;
    }
    case u'f': case u'e': case u'E': case u'g': case u'G': {
      if (!a) return false;
      double v;
      if (a->kind() == K::Double) v = a->d();
      else if (a->kind() == K::Signed) v = double(a->i());
      else if (a->kind() == K::Unsigned) v = double(a->u());
      else return false;
      char conv[2] = {char(s.conv), 0};
      std::string f = NarrowSpec(s, conv);
      snprintf(buf, sizeof buf, f.c_str(), v);
      AppendAscii(out, buf);
      return true;
    }
    case u'p': {
      if (!a || (a->kind() != K::Pointer && a->kind() != K::Unsigned)) return false;
      snprintf(buf, sizeof buf, "%016llX", (unsigned long long)a->u());
      AppendAscii(out, buf);
      return true;
    }
  }
  return false;
}

}  // namespace

WString FormatWArgs(WStringView f, FmtArgs args) {
  WString out;
  out.reserve(f.size() + 16);
  const FmtArg* next = args.begin();
  for (size_t i = 0; i < f.size(); ++i) {
    if (f[i] != u'%') {
      out.push_back(f[i]);
      continue;
    }
    if (i + 1 < f.size() && f[i + 1] == u'%') {
      out.push_back(u'%');
      ++i;
      continue;
    }
    Spec s;
    size_t end = ParseSpec(f, i + 1, s);
    if (end == WStringView::npos) {  // not a conversion: keep the text as it stands
      out.push_back(u'%');
      continue;
    }
    const FmtArg* a = next != args.end() ? next++ : nullptr;
    if (!AppendConversion(out, s, a)) out.append(kFmtMismatch);
    i = end - 1;
  }
  return out;
}

std::string FormatAArgs(std::string_view format, FmtArgs args) {
  return ToUtf8(FormatWArgs(FromUtf8(format), args));
}

int CountFormatArgs(WStringView f) {
  int n = 0;
  for (size_t i = 0; i < f.size(); ++i) {
    if (f[i] != u'%') continue;
    if (i + 1 < f.size() && f[i + 1] == u'%') {
      ++i;
      continue;
    }
    Spec s;
    size_t end = ParseSpec(f, i + 1, s);
    if (end == WStringView::npos) return -1;
    ++n;
    i = end - 1;
  }
  return n;
}
