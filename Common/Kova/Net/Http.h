#ifndef KOVA_NET_HTTP_H
#define KOVA_NET_HTTP_H

#include "../ScopedHandle.h"

#include <cstddef>
#include <cstdint>
#include <string>

namespace Kova {
namespace Net {

// One plain-HTTP fetch over WinINet: construct, Connect, SendRequest,
// ReadResponse. Handles close in the order request, connection, session.
class Http {
public:
    // Answers are cut off here: a hostile or broken server must not make the
    // reader grow without bound.
    static constexpr std::size_t defaultResponseLimit = 64 * 1024;
    // Connecting, sending and each wait for answer bytes.
    static constexpr unsigned long defaultTimeout = 30000;

    // Connects, sends a GET and reads the answer on a thread of its own, and
    // gives up once `totalMilliseconds` have passed, whatever a server or a
    // proxy does: the limits above bound each wait, not a trickle of bytes.
    // Throws what a step threw, or an ERROR_INTERNET_TIMEOUT failure; a
    // fetch given up on goes on unseen until WinINet lets go of it, and so
    // does the closing of the handles after a complete answer.
    static std::string Get(const std::wstring& userAgent, const std::wstring& host, std::uint16_t port,
                           const std::wstring& objectName, unsigned long totalMilliseconds,
                           std::size_t limit = defaultResponseLimit);

    explicit Http(const std::wstring& userAgent, unsigned long timeoutMilliseconds = defaultTimeout);
    void Connect(const std::wstring& host, std::uint16_t port);
    // Always fetched from the server, never from the cache and never stored
    // in it; no cookies go out or are kept, no authentication is answered
    // and no dialog is shown.
    void SendRequest(const std::wstring& verb, const std::wstring& objectName);
    // The body as bytes, whatever the status; a failing read ends it, and so
    // does the limit.
    std::string ReadResponse(std::size_t limit = defaultResponseLimit);

private:
    ScopedHandle<void*> session;
    ScopedHandle<void*> connection;
    ScopedHandle<void*> request;
    unsigned long timeout;
};

} // namespace Net
} // namespace Kova

#endif
