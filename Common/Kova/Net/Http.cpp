#include "Http.h"

#include "../Exception.h"
#include "../Thread.h"

#include <windows.h>
#include <wininet.h>

#include <algorithm>
#include <exception>
#include <memory>

namespace Kova {
namespace Net {

namespace {

const char* const source = "Net/Http";

// The request runs elevated on the user's behalf: whatever the user's
// unelevated programs could have put into WinINet's stores (cookies, cached
// answers, credentials) must neither go out nor come back, and nothing may
// ask the user. Reloads never take an answer from the cache.
constexpr DWORD requestFlags = INTERNET_FLAG_RELOAD | INTERNET_FLAG_NO_CACHE_WRITE | INTERNET_FLAG_NO_COOKIES |
                               INTERNET_FLAG_NO_AUTH | INTERNET_FLAG_NO_UI;

// A server that accepts and then says nothing must not hold the caller for
// ever; where the system already has limits, these are alike. Set on the
// session and again on the request, which not every WinINet copies down.
void LimitWaits(HINTERNET handle, DWORD limit)
{
    for (DWORD option : {INTERNET_OPTION_CONNECT_TIMEOUT, INTERNET_OPTION_SEND_TIMEOUT,
                         INTERNET_OPTION_RECEIVE_TIMEOUT}) {
        DWORD milliseconds = limit;
        InternetSetOptionW(handle, option, &milliseconds, sizeof(milliseconds));
    }
}

// What the fetching thread and its caller share; whichever lets go last
// frees it, so a caller that gave up leaves nothing dangling.
struct Exchange {
    std::wstring userAgent;
    std::wstring host;
    std::uint16_t port = 0;
    std::wstring objectName;
    std::size_t limit = 0;
    // Set once `answer` or `failure` is complete.
    KernelHandle done;
    std::string answer;
    std::exception_ptr failure;
};

struct FetchTask {
    std::shared_ptr<Exchange> exchange;

    void operator()() const
    {
        try {
            Http http(exchange->userAgent);
            http.Connect(exchange->host, exchange->port);
            http.SendRequest(L"GET", exchange->objectName);
            exchange->answer = http.ReadResponse(exchange->limit);
            // Before the handles close: Wine reads the rest of an answer of
            // known length when its request is closed early, which may take
            // long and must not delay the caller.
            SetEvent(exchange->done.Get());
        } catch (...) {
            exchange->failure = std::current_exception();
            SetEvent(exchange->done.Get());
        }
    }
};

} // namespace

std::string Http::Get(const std::wstring& userAgent, const std::wstring& host, std::uint16_t port,
                      const std::wstring& objectName, unsigned long totalMilliseconds, std::size_t limit)
{
    auto exchange = std::make_shared<Exchange>();
    exchange->userAgent = userAgent;
    exchange->host = host;
    exchange->port = port;
    exchange->objectName = objectName;
    exchange->limit = limit;
    exchange->done = KernelHandle(CreateEventW(nullptr, TRUE, FALSE, nullptr));
    if (exchange->done.IsEmpty()) {
        throw LastErrorException("Kova::Net::Http::Get", 0, source);
    }
    Thread::Create(FetchTask{exchange});
    const DWORD waited = WaitForSingleObject(exchange->done.Get(), totalMilliseconds);
    if (waited == WAIT_FAILED) {
        throw LastErrorException("Kova::Net::Http::Get", 0, source);
    }
    if (waited != WAIT_OBJECT_0) {
        // WinINet has no total limit, and a blocked call does not return
        // for every way of closing its handle from here: the thread is left
        // to end by itself, or with the process.
        throw Win32Exception("Kova::Net::Http::Get", 0, source, ERROR_INTERNET_TIMEOUT);
    }
    // Set after the last write: what the thread wrote is visible here.
    if (exchange->failure) {
        std::rethrow_exception(exchange->failure);
    }
    return std::move(exchange->answer);
}

Http::Http(const std::wstring& userAgent, unsigned long timeoutMilliseconds)
    : session(&CloseInternetHandle), connection(&CloseInternetHandle), request(&CloseInternetHandle),
      timeout(timeoutMilliseconds)
{
    session = ScopedHandle<void*>(InternetOpenW(userAgent.c_str(), INTERNET_OPEN_TYPE_PRECONFIG, nullptr, nullptr, 0),
                                  &CloseInternetHandle);
    if (session.IsEmpty()) {
        throw LastErrorException("Kova::Net::Http::Http", 24, source);
    }
    LimitWaits(session.Get(), timeout);
}

void Http::Connect(const std::wstring& host, std::uint16_t port)
{
    connection = ScopedHandle<void*>(
        InternetConnectW(session.Get(), host.c_str(), port, nullptr, nullptr, INTERNET_SERVICE_HTTP, 0, 0),
        &CloseInternetHandle);
    if (connection.IsEmpty()) {
        throw LastErrorException("Kova::Net::Http::Connect", 42, source);
    }
}

void Http::SendRequest(const std::wstring& verb, const std::wstring& objectName)
{
    request = ScopedHandle<void*>(HttpOpenRequestW(connection.Get(), verb.c_str(), objectName.c_str(), nullptr,
                                                   nullptr, nullptr, requestFlags, 0),
                                  &CloseInternetHandle);
    if (request.IsEmpty()) {
        throw LastErrorException("Kova::Net::Http::SendRequest", 65, source);
    }
    LimitWaits(request.Get(), timeout);
    if (!HttpSendRequestW(request.Get(), nullptr, 0, nullptr, 0)) {
        throw LastErrorException("Kova::Net::Http::SendRequest", 77, source);
    }
}

std::string Http::ReadResponse(std::size_t limit)
{
    std::string result;
    char chunk[16];
    while (result.size() < limit) {
        DWORD read = 0;
        const DWORD wanted = static_cast<DWORD>(std::min<std::size_t>(sizeof(chunk), limit - result.size()));
        if (InternetReadFile(request.Get(), chunk, wanted, &read) != TRUE || read == 0) {
            break;
        }
        result.append(chunk, read);
    }
    return result;
}

} // namespace Net
} // namespace Kova
