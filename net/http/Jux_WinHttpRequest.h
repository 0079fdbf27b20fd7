#pragma once
// State of one open request, owned by the session's request table; the status callback gets it as
// its context.
#include "net/http/Jux_CloseEvent.h"
#include "net/http/Jux_IWinHttpListener.h"
#include "net/http/Jux_PinningHook.h"
#include "net/http/Jux_WinHttpSession.h"

#include <atomic>
#include <memory>
#include <string>
#include <vector>

namespace Jux {

class CWinHttpRequest : public std::enable_shared_from_this<CWinHttpRequest> {
public:
    std::shared_ptr<IWinHttpListener> listener;
    std::shared_ptr<CPinningHook> hook;
    std::vector<unsigned char> responseData; // gathered by the asynchronous data handler
    std::vector<unsigned char> sendData;
    std::wstring requestIdText;       // machine id, "-", 32 GUID digits
    std::atomic<bool> closing{false}; // the handle has been closed once
    std::shared_ptr<CWinHttpSession> session;
    std::shared_ptr<CCloseEvent> closeEvent;
    std::wstring serverAddress; // from the name-resolved notification
    bool notPinned = false;
    std::atomic<bool> pinRefused{false};
    HINTERNET handle = nullptr;
    // The status callback is registered on this request: it alone removes the state, at the
    // handle-closing notification.
    bool callbackRegistered = false;
};

} // namespace Jux
