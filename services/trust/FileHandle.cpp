#include "services/trust/FileHandle.h"

namespace qkVerifyTrust {

RedirectionOff::RedirectionOff(bool active) {
  if (active) m_disabled = Wow64DisableWow64FsRedirection(&m_old) != FALSE;
}

RedirectionOff::~RedirectionOff() {
  if (m_disabled) {
    const DWORD error = GetLastError();
    Wow64RevertWow64FsRedirection(m_old);
    SetLastError(error);
  }
}

BOOL FileHandle::Open(const wchar_t* path, BYTE keepRedirection) {
  Close();
  if (path == nullptr || *path == L'\0') {
    SetLastError(ERROR_INVALID_PARAMETER);
    return FALSE;
  }
  RedirectionOff guard(keepRedirection == 0);
  m_handle = CreateFileW(path, GENERIC_READ, FILE_SHARE_READ, nullptr, OPEN_EXISTING, FILE_ATTRIBUTE_NORMAL, nullptr);
  return IsOpen() ? TRUE : FALSE;
}

void FileHandle::Close() {
  if (IsOpen()) {
    const DWORD error = GetLastError();
    CloseHandle(m_handle);
    SetLastError(error);
  }
  m_handle = INVALID_HANDLE_VALUE;
}

} // namespace qkVerifyTrust
