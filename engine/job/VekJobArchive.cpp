// The job's archive stage: the archive plug-in named in the job's files is verified while it is
// held open, loaded, created by class identifier and does the whole work in one call.
#include "engine/job/VekJob.h"
#include "services/launcher/VekResultCodes.h"

#include "common/errors/qkLog.h"
#include "common/objects/qkTalDllLoader.h"
#include "engine/job/VekJobPluginFile.h"
#include "services/launcher/VekJobKeys.h"
#include "engine/manifest/VekJobStates.h"
#include "engine/plugin/VekCurrentPlugin.h"
#include "engine/plugin/sdk/VekPluginInterfaces.h"
#include "services/launcher/VekUtil.h"
#include "services/trust/CLockedFileVerifier.h"

#include <wrl/client.h>

namespace vek {

using plugin::IVekArchive;
using plugin::IVekArchiveCallback;

// The status callback of the archive plug-in: every status is accepted and none interpreted.
class VekJob::ArchiveCallback final : public IVekArchiveCallback {
public:
    HRESULT STDMETHODCALLTYPE OnStatus(int32_t) override { return S_OK; }
};

bool VekJob::getArchivePlugin(json& entry)
{
    return FindPluginEntry(JobSnapshot(), "job_archive", GuidToString(plugin::CLSID_VekArchive), entry);
}

void VekJob::ArchiveDownloadedFiles()
{
    Fire(eJobArchiveStart);

    json entry;
    if (!getArchivePlugin(entry)) {
        QK_LOG_ERROR(L"Failed to get job_archive from manifest");
        // A missing archive plug-in shares its code with the unknown job exception.
        throw JobException(VEK_E_UNKNOWN_JOB_EXCEPTION);
    }
    const std::wstring path = PluginFilePath(entry);

    // Released in the reverse order: the plug-in, the callback object, the module, the file.
    CLockedFileVerifier verifier;
    qkTalDllLoader loader;
    ArchiveCallback callback;
    Microsoft::WRL::ComPtr<IVekArchive> object;

    const HRESULT verified = VerifyPluginFile(path, entry, verifier);
    if (FAILED(verified)) {
        QK_LOG_ERROR(L"Preload verification of archive plugin  failed, hr=0x%08X", verified);
        throw JobException(VEK_E_PLUGIN_SIGNATURE);
    }
    const HRESULT loaded = loader.Load(path.c_str());
    if (FAILED(loaded)) {
        QK_LOG_ERROR(L"failed to load: %s (0x%08x)", path.c_str(), loaded);
        throw JobException(VEK_E_ARCHIVE_LOADER);
    }
    const HRESULT created = loader.CreateObject(plugin::CLSID_VekArchive, plugin::IID_IVekArchive,
                                                reinterpret_cast<void**>(object.GetAddressOf()));
    if (FAILED(created) || !object) {
        QK_LOG_ERROR(L"Failed to create IID_IVekArchive object, 0x%08x", created);
        throw JobException(VEK_E_ARCHIVE_CREATE);
    }
    VekCurrentPlugin::Set(PluginKind::Archive, object.Get());

    const std::wstring text = FromUtf8(JobSnapshot().dump(4));
    const HRESULT archived = object->Archive(text.c_str(), &callback);
    VekCurrentPlugin::Clear(PluginKind::Archive);
    if (FAILED(archived)) {
        QK_LOG_ERROR(L"Failed to start archiving, 0x%08x", archived);
        throw JobException(VEK_E_ARCHIVE_FAILED);
    }
    std::lock_guard<std::recursive_mutex> lock(m_lock);
    SetJobValue(jobkeys::kJobErrorCode, 0);
    SetStateUnlessStopped(eArchiveFinished);
}

} // namespace vek
