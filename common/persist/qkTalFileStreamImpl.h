#pragma once
// A byte stream over a file. The owner opens the file through GetFile before using the stream.
// Each call holds the stream's lock.
#include "common/base/qkCriticalSection.h"
#include "common/objects/qkTalCountedObject.h"
#include "common/persist/IByteStream.h"
#include "common/system/qkFile.h"

class qkTalFileStreamImpl : public qkTalCountedObject, public IByteStream {
public:
    // A new stream with no file open, with one reference, or null when out of memory.
    static qkTalFileStreamImpl* Create();

    QK_TAL_UNKNOWN_IMPL()
    BOOL STDMETHODCALLTYPE GetSize(ULONGLONG* size) override;
    BOOL STDMETHODCALLTYPE SetSize(ULONGLONG size) override;
    BOOL STDMETHODCALLTYPE GetPosition(ULONGLONG* position) override;
    BOOL STDMETHODCALLTYPE SetPosition(ULONGLONG position) override;
    BOOL STDMETHODCALLTYPE Write(const void* data, ULONG count) override;
    BOOL STDMETHODCALLTYPE Read(void* buffer, ULONG count) override;

    qkFile& GetFile();

protected:
    void* GetInterface(REFIID iid) override;

private:
    qkTalFileStreamImpl() = default;

    qkFile m_file;
    qkCriticalSection m_lock;
};
