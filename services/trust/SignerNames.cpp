#include "services/trust/SignerNames.h"

#include <mutex>

namespace qkVerifyTrust {

namespace {
std::mutex g_lock;
SignerNames& Stored() {
  static SignerNames names = SignerNames::Defaults();
  return names;
}
} // namespace

SignerNames SignerNames::Defaults() {
  SignerNames n;
  n.level3Unit = L"Keel Core";
  n.publisher1Name = L"Keel Software";
  n.publisher1Organisation = L"Keel Software Inc.";
  n.publisher2NameA = L"Keel Core";
  n.publisher2NameB = L"KeelCore";
  n.publisher2Organisation = L"Keel Core";
  n.publisher2OrganisationAlt = L"Keel Core Ltd";
  n.level4First = L"Keel Core";
  n.level4Second = L"Keel Core Hardware";
  n.level5Name = L"Keel Software";
  return n;
}

SignerNames SignerNames::Current() {
  std::lock_guard guard(g_lock);
  return Stored();
}

void SignerNames::SetCurrent(const SignerNames& names) {
  std::lock_guard guard(g_lock);
  Stored() = names;
}

void SignerNames::ResetToDefaults() { SetCurrent(Defaults()); }

} // namespace qkVerifyTrust
