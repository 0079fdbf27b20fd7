#pragma once
// Owner of one Windows Installer handle (database, view or record): MsiCloseHandle on reset and
// on destruction.
#include <windows.h>
#include <msi.h>

class CMsiHandle {
public:
  CMsiHandle() = default;
  explicit CMsiHandle(MSIHANDLE handle) : m_handle(handle) {}
  ~CMsiHandle() { Reset(); }
  CMsiHandle(const CMsiHandle&) = delete;
  CMsiHandle& operator=(const CMsiHandle&) = delete;

  MSIHANDLE Get() const { return m_handle; }
  // For the out parameter of an installer call; closes the handle held before.
  MSIHANDLE* Put() {
    Reset();
    return &m_handle;
  }
  void Reset(MSIHANDLE handle = 0) {
    if (m_handle != 0) ::MsiCloseHandle(m_handle);
    m_handle = handle;
  }
  explicit operator bool() const { return m_handle != 0; }

private:
  MSIHANDLE m_handle = 0;
};
