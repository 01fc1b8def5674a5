#include "platform/win32/account.h"

#include <sddl.h>

#include <cstdio>

namespace {

// The SIDs of this process's token: its user and its default owner.
struct tokensids {
  union {
    TOKEN_USER user;
    char bytes[256];   // a TOKEN_USER and the longest SID fit in far less
  } u;
  union {
    TOKEN_OWNER owner;
    char bytes[256];
  } o;
  bool ok = false;
};

const tokensids& token() {
  static tokensids t;
  static bool asked = false;
  if (asked) return t;
  asked = true;
  HANDLE h;
  if (!OpenProcessToken(GetCurrentProcess(), TOKEN_QUERY, &h)) return t;
  DWORD len;
  t.ok = GetTokenInformation(h, TokenUser, &t.u, sizeof t.u, &len) &&
         GetTokenInformation(h, TokenOwner, &t.o, sizeof t.o, &len);
  CloseHandle(h);
  return t;
}

bool iswellknown(PSID sid, WELL_KNOWN_SID_TYPE type) {
  return IsWellKnownSid(sid, type) != FALSE;
}

// privatesd(inherit, sd): a protected access list (P: nothing taken from the
// container) that gives all rights to this account, the system and the
// Administrators, with the inheritance flags inherit ("" or "OICI").
bool privatesd(const char* inherit, PSECURITY_DESCRIPTOR* sd) {
  const tokensids& t = token();
  char* sid = nullptr;
  if (!t.ok || !ConvertSidToStringSidA(t.u.user.User.Sid, &sid)) return false;
  char acl[256];
  int n = snprintf(acl, sizeof acl, "D:P(A;%s;GA;;;%s)(A;%s;GA;;;SY)(A;%s;GA;;;BA)", inherit, sid, inherit, inherit);
  LocalFree(sid);
  return n > 0 && size_t(n) < sizeof acl &&
         ConvertStringSecurityDescriptorToSecurityDescriptorA(acl, SDDL_REVISION_1, sd, nullptr);
}

}  // namespace

bool account_isme(PSID sid) {
  const tokensids& t = token();
  return t.ok && sid != nullptr && IsValidSid(sid) &&
         (EqualSid(sid, t.u.user.User.Sid) || EqualSid(sid, t.o.owner.Owner));
}

bool account_trusted(PSID sid) {
  return account_isme(sid) || iswellknown(sid, WinLocalSystemSid) ||
         iswellknown(sid, WinBuiltinAdministratorsSid) || iswellknown(sid, WinCreatorOwnerRightsSid);
}

bool account_privatesd(PSECURITY_DESCRIPTOR* sd) { return privatesd("", sd); }

bool account_foldersd(PSECURITY_DESCRIPTOR* sd) { return privatesd("OICI", sd); }

bool account_writers_trusted(PACL dacl) {
  if (dacl == nullptr) return false;
  // For a folder the first two are adding files and folders, FILE_DELETE_CHILD
  // removing any of them.
  const ACCESS_MASK writes = FILE_WRITE_DATA | FILE_APPEND_DATA | FILE_DELETE_CHILD | DELETE | WRITE_DAC |
                             WRITE_OWNER | GENERIC_WRITE | GENERIC_ALL | MAXIMUM_ALLOWED;
  for (DWORD i = 0; i < dacl->AceCount; i++) {
    void* ace;
    if (!GetAce(dacl, i, &ace)) return false;
    const ACE_HEADER* hdr = static_cast<const ACE_HEADER*>(ace);
    // An entry only for what the object contains does not apply to it; one
    // that denies takes nothing away from the question.
    if (hdr->AceFlags & INHERIT_ONLY_ACE) continue;
    if (hdr->AceType == ACCESS_DENIED_ACE_TYPE || hdr->AceType == SYSTEM_AUDIT_ACE_TYPE ||
        hdr->AceType == SYSTEM_MANDATORY_LABEL_ACE_TYPE)
      continue;
    // Any other kind of entry that allows may allow a write: refuse it.
    if (hdr->AceType != ACCESS_ALLOWED_ACE_TYPE) return false;
    const ACCESS_ALLOWED_ACE* allow = static_cast<const ACCESS_ALLOWED_ACE*>(ace);
    if ((allow->Mask & writes) == 0) continue;
    if (!account_trusted(const_cast<DWORD*>(&allow->SidStart))) return false;
  }
  return true;
}
