#include "services/trust/TrustOsVersion.h"

#include <atomic>

namespace qkVerifyTrust {

namespace {
// Packed major << 16 | minor; 0 when not overridden.
std::atomic<DWORD> g_override{0};

TrustOsVersion RealVersion() {
  using RtlGetVersionFn = LONG(WINAPI*)(OSVERSIONINFOW*);
  TrustOsVersion v;
  OSVERSIONINFOW info = {};
  info.dwOSVersionInfoSize = sizeof(info);
  HMODULE ntdll = GetModuleHandleW(L"ntdll.dll");
  auto fn = ntdll ? reinterpret_cast<RtlGetVersionFn>(reinterpret_cast<void*>(GetProcAddress(ntdll, "RtlGetVersion"))) : nullptr;
  if (fn && fn(&info) == 0) {
    v.major = info.dwMajorVersion;
    v.minor = info.dwMinorVersion;
  }
  return v;
}
} // namespace

TrustOsVersion TrustOsVersion::Current() {
  const DWORD packed = g_override.load();
  if (packed != 0) return TrustOsVersion{packed >> 16, packed & 0xFFFF};
  static const TrustOsVersion real = RealVersion();
  return real;
}

void TrustOsVersion::Override(DWORD major, DWORD minor) { g_override = (major << 16) | (minor & 0xFFFF); }

void TrustOsVersion::Reset() { g_override = 0; }

} // namespace qkVerifyTrust
