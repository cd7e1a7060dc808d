// The emulated process token, SID texts and security descriptors from SDDL text.
#include <string.h>

#include "platform/emulated/world_state.h"

namespace emu {
namespace detail {

constexpr uint32_t kDescriptorMagic = 0x53444553;  // marks descriptors made here

namespace {

bool ParseNumber(const std::u16string& text, size_t& p, uint64_t& value) {
  const size_t start = p;
  value = 0;
  if (text.compare(p, 2, u"0x") == 0 || text.compare(p, 2, u"0X") == 0) {
    p += 2;
    const size_t digits = p;
    for (; p < text.size(); ++p) {
      const char16_t c = text[p];
      int digit = c >= u'0' && c <= u'9'   ? c - u'0'
                  : c >= u'a' && c <= u'f' ? c - u'a' + 10
                  : c >= u'A' && c <= u'F' ? c - u'A' + 10
                                           : -1;
      if (digit < 0) break;
      value = value * 16 + static_cast<uint64_t>(digit);
    }
    return p > digits;
  }
  for (; p < text.size() && text[p] >= u'0' && text[p] <= u'9'; ++p) {
    value = value * 10 + static_cast<uint64_t>(text[p] - u'0');
    if (value > 0xFFFFFFFFFFFFULL) return false;
  }
  return p > start;
}

}  // namespace

std::vector<uint8_t> ParseSid(const std::u16string& text) {
  if (text.compare(0, 2, u"S-") != 0 && text.compare(0, 2, u"s-") != 0) return {};
  size_t p = 2;
  uint64_t revision = 0, authority = 0;
  if (!ParseNumber(text, p, revision) || revision != 1 || p >= text.size() || text[p] != u'-')
    return {};
  ++p;
  if (!ParseNumber(text, p, authority)) return {};
  std::vector<uint32_t> parts;
  while (p < text.size()) {
    uint64_t part = 0;
    if (text[p] != u'-') return {};
    ++p;
    if (!ParseNumber(text, p, part) || part > 0xFFFFFFFFULL) return {};
    parts.push_back(static_cast<uint32_t>(part));
  }
  if (parts.empty() || parts.size() > 15) return {};
  std::vector<uint8_t> sid = {1, static_cast<uint8_t>(parts.size())};
  for (int shift = 40; shift >= 0; shift -= 8)
    sid.push_back(static_cast<uint8_t>(authority >> shift));
  for (uint32_t part : parts) {
    for (int shift = 0; shift < 32; shift += 8) sid.push_back(static_cast<uint8_t>(part >> shift));
  }
  return sid;
}

size_t SidSize(const uint8_t* sid) { return 8 + 4 * static_cast<size_t>(sid[1]); }

std::u16string SidToText(const uint8_t* sid) {
  uint64_t authority = 0;
  for (int i = 0; i < 6; ++i) authority = (authority << 8) | sid[2 + i];
  std::string text = "S-1-";
  char number[32];
  if (authority >> 32) {
    snprintf(number, sizeof(number), "0x%012llX", static_cast<unsigned long long>(authority));
  } else {
    snprintf(number, sizeof(number), "%llu", static_cast<unsigned long long>(authority));
  }
  text += number;
  for (int i = 0; i < sid[1]; ++i) {
    uint32_t part = 0;
    memcpy(&part, sid + 8 + 4 * i, 4);
    snprintf(number, sizeof(number), "-%u", part);
    text += number;
  }
  return Widen(text);
}

bool DescriptorText(const void* descriptor, std::u16string& text) {
  World& w = TheWorld();
  auto found = w.local_blocks.find(const_cast<void*>(descriptor));
  if (found == w.local_blocks.end() || found->second < 4) return false;
  uint32_t magic = 0;
  memcpy(&magic, descriptor, 4);
  if (magic != kDescriptorMagic) return false;
  text = reinterpret_cast<const char16_t*>(static_cast<const uint8_t*>(descriptor) + 4);
  return true;
}

namespace {

// The SID form accepted inside SDDL text: "S-1-" and dash-separated numbers. Longer than any
// real SID may be, so that tests can reach the stub's limit on the owner's text.
bool LooksLikeSid(const std::u16string& text) {
  if (text.compare(0, 4, u"S-1-") != 0 || text.size() < 5) return false;
  bool digit_seen = false;
  for (size_t i = 4; i < text.size(); ++i) {
    if (text[i] == u'-') {
      if (!digit_seen) return false;
      digit_seen = false;
    } else if (text[i] >= u'0' && text[i] <= u'9') {
      digit_seen = true;
    } else {
      return false;
    }
  }
  return digit_seen;
}

// Parses one SDDL text into its canonical form (the order in which the platform writes ACE
// flags back); false on anything malformed.
bool CanonicalSddl(const std::u16string& text, std::u16string& out, DWORD& error) {
  static const char16_t* const kAliases[] = {u"BA", u"SY", u"CO", u"CG", u"WD", u"BU", u"AU",
                                             u"LS", u"NS", u"OW", u"AN", u"IU", u"BG", u"PU"};
  static const char16_t* const kAceFlags[] = {u"OI", u"CI", u"NP", u"IO", u"ID", u"SA", u"FA"};
  static const char16_t* const kRights[] = {u"GA", u"GR", u"GW", u"GX", u"FA", u"FR", u"FW",
                                            u"FX", u"RC", u"SD", u"WD", u"WO", u"KA", u"KR"};
  auto in = [](const char16_t* const* list, size_t count, const std::u16string& token) {
    for (size_t i = 0; i < count; ++i) {
      if (token == list[i]) return true;
    }
    return false;
  };
  error = ERROR_INVALID_PARAMETER;
  out.clear();
  size_t p = 0;
  if (text.empty()) return false;
  while (p < text.size()) {
    if (p + 1 >= text.size() || text[p + 1] != u':') return false;
    const char16_t part = text[p];
    p += 2;
    out += part;
    out += u':';
    if (part == u'O' || part == u'G') {
      const size_t end =
          text.find(u':', p) == std::u16string::npos ? text.size() : text.find(u':', p) - 1;
      const std::u16string sid = text.substr(p, end - p);
      if (!in(kAliases, 14, sid) && !LooksLikeSid(sid)) {
        error = ERROR_INVALID_SID;
        return false;
      }
      out += sid;
      p = end;
      continue;
    }
    if (part != u'D' && part != u'S') return false;
    while (p < text.size() && text[p] != u'(') {
      if (text.compare(p, 1, u"P") == 0) {
        out += u'P';
        p += 1;
      } else if (text.compare(p, 2, u"AI") == 0 || text.compare(p, 2, u"AR") == 0) {
        out += text.substr(p, 2);
        p += 2;
      } else {
        return false;
      }
    }
    while (p < text.size() && text[p] == u'(') {
      const size_t close = text.find(u')', p);
      if (close == std::u16string::npos) return false;
      std::vector<std::u16string> fields;
      size_t start = p + 1;
      for (size_t i = start; i <= close; ++i) {
        if (i == close || text[i] == u';') {
          fields.push_back(text.substr(start, i - start));
          start = i + 1;
        }
      }
      if (fields.size() != 6 || (fields[0] != u"A" && fields[0] != u"D")) return false;
      if (fields[1].size() % 2 != 0 || fields[2].empty() || !fields[3].empty() ||
          !fields[4].empty()) {
        return false;
      }
      std::u16string flags;
      for (const char16_t* flag : kAceFlags) {
        for (size_t i = 0; i < fields[1].size(); i += 2) {
          if (fields[1].compare(i, 2, flag) == 0) {
            flags += flag;
            break;
          }
        }
      }
      for (size_t i = 0; i < fields[1].size(); i += 2) {
        if (!in(kAceFlags, 7, fields[1].substr(i, 2))) return false;
      }
      if (fields[2].compare(0, 2, u"0x") != 0) {
        if (fields[2].size() % 2 != 0) return false;
        for (size_t i = 0; i < fields[2].size(); i += 2) {
          if (!in(kRights, 14, fields[2].substr(i, 2))) return false;
        }
      }
      if (!in(kAliases, 14, fields[5]) && !LooksLikeSid(fields[5])) {
        error = ERROR_INVALID_SID;
        return false;
      }
      out += u"(" + fields[0] + u";" + flags + u";" + fields[2] + u";;;" + fields[5] + u")";
      p = close + 1;
    }
  }
  return true;
}

}  // namespace
}  // namespace detail

using namespace detail;

void SetToken(const std::u16string& user_sid, const std::u16string& owner_sid) {
  TheWorld().user_sid = ParseSid(user_sid);
  TheWorld().owner_sid = ParseSid(owner_sid);
  TheWorld().owner_text.clear();
}

void SetOwnerSidText(const std::u16string& text) { TheWorld().owner_text = text; }

void SetTokenElevation(bool elevated, bool user_is_administrator) {
  TheWorld().elevated = elevated;
  TheWorld().administrator = user_is_administrator;
}

}  // namespace emu

using namespace emu;
using namespace emu::detail;

BOOL WINAPI OpenProcessToken(HANDLE process, DWORD desired_access, PHANDLE token) {
  DWORD error = 0;
  if (Fails(Op::OpenProcessToken, error, {}, desired_access)) return FALSE;
  if (process != GetCurrentProcess() || token == nullptr) {
    Failed(ERROR_INVALID_HANDLE);
    return FALSE;
  }
  HandleObject object;
  object.kind = HandleKind::kToken;
  object.access = desired_access;
  *token = NewHandle(object);
  Succeeded();
  return TRUE;
}

BOOL WINAPI GetTokenInformation(HANDLE token, TOKEN_INFORMATION_CLASS information_class,
                                LPVOID information, DWORD length, PDWORD return_length) {
  DWORD error = 0;
  if (Fails(Op::GetTokenInformation, error, {}, information_class)) return FALSE;
  HandleObject* object = FindHandle(token, HandleKind::kToken);
  if (object == nullptr) {
    Failed(ERROR_INVALID_HANDLE);
    return FALSE;
  }
  if ((object->access & TOKEN_QUERY) == 0) {
    Failed(ERROR_ACCESS_DENIED);
    return FALSE;
  }
  if (return_length == nullptr ||
      (information_class != TokenOwner && information_class != TokenUser)) {
    Failed(ERROR_INVALID_PARAMETER);
    return FALSE;
  }
  World& w = TheWorld();
  const std::vector<uint8_t>& sid = information_class == TokenOwner ? w.owner_sid : w.user_sid;
  const size_t head = information_class == TokenOwner ? sizeof(TOKEN_OWNER) : sizeof(TOKEN_USER);
  const DWORD needed = static_cast<DWORD>(head + sid.size());
  *return_length = needed;
  if (information == nullptr || length < needed) {
    Failed(ERROR_INSUFFICIENT_BUFFER);
    return FALSE;
  }
  auto* bytes = static_cast<uint8_t*>(information);
  memcpy(bytes + head, sid.data(), sid.size());
  if (information_class == TokenOwner) {
    static_cast<TOKEN_OWNER*>(information)->Owner = bytes + head;
  } else {
    static_cast<TOKEN_USER*>(information)->User.Sid = bytes + head;
    static_cast<TOKEN_USER*>(information)->User.Attributes = 0;
  }
  Succeeded();
  return TRUE;
}

BOOL WINAPI ConvertSidToStringSidW(PSID sid, LPWSTR* string_sid) {
  DWORD error = 0;
  if (Fails(Op::ConvertSidToStringSidW, error)) return FALSE;
  auto* bytes = static_cast<const uint8_t*>(sid);
  if (bytes == nullptr || string_sid == nullptr || bytes[0] != 1 || bytes[1] == 0 ||
      bytes[1] > 15) {
    Failed(ERROR_INVALID_SID);
    return FALSE;
  }
  World& w = TheWorld();
  std::u16string text = SidToText(bytes);
  const size_t size = SidSize(bytes);
  if (!w.owner_text.empty() && w.owner_sid.size() == size &&
      memcmp(w.owner_sid.data(), bytes, size) == 0) {
    text = w.owner_text;
  }
  auto* out = static_cast<WCHAR*>(AllocateLocal((text.size() + 1) * sizeof(WCHAR), false));
  memcpy(out, text.c_str(), (text.size() + 1) * sizeof(WCHAR));
  *string_sid = out;
  Succeeded();
  return TRUE;
}

BOOL WINAPI ConvertStringSecurityDescriptorToSecurityDescriptorW(LPCWSTR text, DWORD revision,
                                                                 PSECURITY_DESCRIPTOR* descriptor,
                                                                 ULONG* descriptor_size) {
  DWORD error = 0;
  if (Fails(Op::ConvertStringSecurityDescriptorToSecurityDescriptorW, error, Text(text),
            revision)) {
    return FALSE;
  }
  if (text == nullptr || descriptor == nullptr) {
    Failed(ERROR_INVALID_PARAMETER);
    return FALSE;
  }
  if (revision != SDDL_REVISION_1) {
    Failed(ERROR_UNKNOWN_REVISION);
    return FALSE;
  }
  std::u16string canonical;
  if (!CanonicalSddl(text, canonical, error)) {
    Failed(error);
    return FALSE;
  }
  const size_t bytes = 4 + (canonical.size() + 1) * sizeof(char16_t);
  auto* block = static_cast<uint8_t*>(AllocateLocal(bytes, false));
  memcpy(block, &kDescriptorMagic, 4);
  memcpy(block + 4, canonical.c_str(), (canonical.size() + 1) * sizeof(char16_t));
  *descriptor = block;
  if (descriptor_size != nullptr) *descriptor_size = static_cast<ULONG>(bytes);
  Succeeded();
  return TRUE;
}
