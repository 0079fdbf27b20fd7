#pragma once
// A typed archive over a byte stream. Its positions are the stream's; on destruction it leaves
// the stream after everything it read or wrote.
#include <wrl/client.h>

#include "common/persist/CArchive.h"

class qkTalStreamArchive : public qkLib::CArchive {
public:
    explicit qkTalStreamArchive(ULONG mode) : CArchive(mode) {}
    ~qkTalStreamArchive() override;

    // Starts at the stream's current position and keeps a reference to it.
    BOOL Attach(IByteStream* stream);

    BOOL OpenSubStream(ULONG size, BOOL forWriting, IByteStream** stream) override;
    BOOL Read(void* buffer, ULONG count) override;
    BOOL Write(const void* data, ULONG count) override;
    BOOL GetPosition(ULONGLONG* position) override;
    BOOL SetPosition(ULONGLONG position) override;

private:
    void Advance(ULONGLONG count);

    Microsoft::WRL::ComPtr<IByteStream> m_stream;
    ULONGLONG m_position = 0;
    ULONGLONG m_farthest = 0;
};
