#pragma once
// The logon and boot triggers of the Task Scheduler's version 2.0 interfaces, which the
// cross-compiler's taskschd.h lacks.
#include <windows.h>
#include <taskschd.h>

// {72DADE38-FAE4-4B3E-BAF4-5D009AF02B1C}
inline constexpr GUID IID_ILogonTrigger = {
    0x72DADE38, 0xFAE4, 0x4B3E, {0xBA, 0xF4, 0x5D, 0x00, 0x9A, 0xF0, 0x2B, 0x1C}};
// {2A9C35DA-D357-41F4-BBC1-207AC1B1F3CB}
inline constexpr GUID IID_IBootTrigger = {0x2A9C35DA, 0xD357, 0x41F4, {0xBB, 0xC1, 0x20, 0x7A, 0xC1, 0xB1, 0xF3, 0xCB}};

struct ILogonTrigger : public ITrigger {
    virtual HRESULT STDMETHODCALLTYPE get_Delay(BSTR* delay) = 0;
    virtual HRESULT STDMETHODCALLTYPE put_Delay(BSTR delay) = 0;
    virtual HRESULT STDMETHODCALLTYPE get_UserId(BSTR* user) = 0;
    virtual HRESULT STDMETHODCALLTYPE put_UserId(BSTR user) = 0;
};

struct IBootTrigger : public ITrigger {
    virtual HRESULT STDMETHODCALLTYPE get_Delay(BSTR* delay) = 0;
    virtual HRESULT STDMETHODCALLTYPE put_Delay(BSTR delay) = 0;
};
