#pragma once
// Enters the calling thread into a COM apartment and leaves it again, on the same thread
// only, when the guard ends. Each successful Initialize is balanced by one Uninitialize.
#include <windows.h>

class qkComApartment {
public:
    enum Mode : DWORD {
        ModeDefault = 0, // counts as multithreaded
        ModeMultithreaded = 1,
        ModeApartmentThreaded = 2,
        ModeNone = 3, // not entered
    };

    qkComApartment() = default;
    virtual ~qkComApartment();
    qkComApartment(const qkComApartment&) = delete;
    qkComApartment& operator=(const qkComApartment&) = delete;

    // The platform's result (S_FALSE when already in a compatible apartment), or E_FAIL for
    // an unknown mode; a failure leaves the guard unentered.
    HRESULT Initialize(DWORD mode);
    // Leaves the apartment when called on the thread that entered it.
    void Uninitialize();

    DWORD GetMode() const { return m_mode; }
    DWORD GetOwningThread() const { return m_thread; }

private:
    DWORD m_thread = 0;
    DWORD m_mode = ModeNone;
};
