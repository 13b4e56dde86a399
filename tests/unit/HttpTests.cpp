// Winsock before windows.h, which would otherwise pull in the old winsock.h.
#include <winsock2.h>
#include <ws2tcpip.h>

#include "Kova/Exception.h"
#include "Kova/Net/Http.h"

#include <gtest/gtest.h>

#include <windows.h>
#include <wininet.h>

#include <atomic>
#include <cstdio>
#include <string>
#include <thread>
#include <vector>

using Kova::Net::Http;

namespace {

// The test program does not link ws2_32; the few calls the server needs are
// looked up at run time.
struct Winsock {
    decltype(&::WSAStartup) WSAStartup;
    decltype(&::socket) socket;
    decltype(&::bind) bind;
    decltype(&::listen) listen;
    decltype(&::getsockname) getsockname;
    decltype(&::select) select;
    decltype(&::accept) accept;
    decltype(&::setsockopt) setsockopt;
    decltype(&::recv) recv;
    decltype(&::send) send;
    decltype(&::shutdown) shutdown;
    decltype(&::closesocket) closesocket;
    bool ready = false;

    static const Winsock& Get()
    {
        static const Winsock loaded = Load();
        return loaded;
    }

private:
    template <typename Function>
    static void Find(HMODULE module, Function& function, const char* name, bool& ok)
    {
        function = reinterpret_cast<Function>(reinterpret_cast<void*>(GetProcAddress(module, name)));
        ok = ok && function != nullptr;
    }

    static Winsock Load()
    {
        Winsock w{};
        HMODULE module = LoadLibraryW(L"ws2_32.dll");
        if (module == nullptr) {
            return w;
        }
        bool ok = true;
        Find(module, w.WSAStartup, "WSAStartup", ok);
        Find(module, w.socket, "socket", ok);
        Find(module, w.bind, "bind", ok);
        Find(module, w.listen, "listen", ok);
        Find(module, w.getsockname, "getsockname", ok);
        Find(module, w.select, "select", ok);
        Find(module, w.accept, "accept", ok);
        Find(module, w.setsockopt, "setsockopt", ok);
        Find(module, w.recv, "recv", ok);
        Find(module, w.send, "send", ok);
        Find(module, w.shutdown, "shutdown", ok);
        Find(module, w.closesocket, "closesocket", ok);
        WSADATA data;
        w.ready = ok && w.WSAStartup(MAKEWORD(2, 2), &data) == 0;
        return w;
    }
};

// htons and friends live in ws2_32 too.
sockaddr_in Loopback(std::uint16_t port)
{
    sockaddr_in address{};
    address.sin_family = AF_INET;
    address.sin_addr.S_un.S_un_b = {127, 0, 0, 1};
    address.sin_port = static_cast<u_short>((port >> 8) | ((port & 0xFF) << 8));
    return address;
}

std::uint16_t PortOf(const sockaddr_in& address)
{
    const std::uint16_t port = address.sin_port;
    return static_cast<std::uint16_t>((port >> 8) | ((port & 0xFF) << 8));
}

// Waits up to `milliseconds` for the socket to become readable.
bool Readable(SOCKET socket, int milliseconds)
{
    fd_set set;
    FD_ZERO(&set);
    FD_SET(socket, &set);
    timeval wait{milliseconds / 1000, (milliseconds % 1000) * 1000};
    return Winsock::Get().select(0, &set, nullptr, nullptr, &wait) == 1;
}

// A one-shot web server on 127.0.0.1: answers each of its connections in
// turn with the next canned raw response and keeps what it was sent. It gives
// up by itself after ten seconds without a client, so a broken client cannot
// hang the test. A trickling server follows its last response with one more
// byte every 100 ms until it stops.
class LocalServer {
public:
    enum class After { Close, Trickle };

    explicit LocalServer(std::vector<std::string> responses, After after = After::Close)
        : responses(std::move(responses)), after(after)
    {
        const Winsock& ws = Winsock::Get();
        if (!ws.ready) {
            return;
        }
        listener = ws.socket(AF_INET, SOCK_STREAM, IPPROTO_TCP);
        sockaddr_in address = Loopback(0);
        int length = sizeof(address);
        if (listener == INVALID_SOCKET ||
            ws.bind(listener, reinterpret_cast<sockaddr*>(&address), sizeof(address)) != 0 ||
            ws.listen(listener, 4) != 0 ||
            ws.getsockname(listener, reinterpret_cast<sockaddr*>(&address), &length) != 0) {
            return;
        }
        port = PortOf(address);
        worker = std::thread([this] { Serve(); });
    }
    explicit LocalServer(std::string response, After after = After::Close)
        : LocalServer(std::vector<std::string>{std::move(response)}, after)
    {
    }

    ~LocalServer()
    {
        stop = true;
        Finish();
        if (listener != INVALID_SOCKET) {
            Winsock::Get().closesocket(listener);
        }
    }
    LocalServer(const LocalServer&) = delete;
    LocalServer& operator=(const LocalServer&) = delete;

    std::uint16_t Port() const { return port; }

    // What the clients sent, once all connections are served.
    const std::vector<std::string>& Requests()
    {
        Finish();
        return requests;
    }

private:
    void Finish()
    {
        if (worker.joinable()) {
            worker.join();
        }
    }

    void Serve()
    {
        const Winsock& ws = Winsock::Get();
        const ULONGLONG deadline = GetTickCount64() + 10000;
        for (const std::string& response : responses) {
            while (!stop && GetTickCount64() < deadline && !Readable(listener, 100)) {
            }
            if (stop || GetTickCount64() >= deadline) {
                return;
            }
            SOCKET client = ws.accept(listener, nullptr, nullptr);
            if (client == INVALID_SOCKET) {
                return;
            }
            const DWORD timeout = 5000;
            ws.setsockopt(client, SOL_SOCKET, SO_RCVTIMEO, reinterpret_cast<const char*>(&timeout), sizeof(timeout));
            ws.setsockopt(client, SOL_SOCKET, SO_SNDTIMEO, reinterpret_cast<const char*>(&timeout), sizeof(timeout));
            std::string request;
            char chunk[512];
            while (request.find("\r\n\r\n") == std::string::npos && request.size() < 65536) {
                const int got = ws.recv(client, chunk, sizeof(chunk), 0);
                if (got <= 0) {
                    break;
                }
                request.append(chunk, got);
            }
            requests.push_back(request);
            for (std::size_t sent = 0; sent < response.size();) {
                const int done = ws.send(client, response.data() + sent, static_cast<int>(response.size() - sent), 0);
                if (done <= 0) {
                    break;
                }
                sent += static_cast<std::size_t>(done);
            }
            while (after == After::Trickle && !stop && GetTickCount64() < deadline &&
                   ws.send(client, "0", 1, 0) == 1) {
                Sleep(100);
            }
            ws.shutdown(client, SD_SEND);
            ws.closesocket(client);
        }
    }

    std::vector<std::string> responses;
    After after;
    std::vector<std::string> requests;
    SOCKET listener = INVALID_SOCKET;
    std::uint16_t port = 0;
    std::atomic<bool> stop{false};
    std::thread worker;
};

std::string Answer(const std::string& status, const std::string& body, const std::string& headers = "")
{
    return "HTTP/1.1 " + status + "\r\nContent-Length: " + std::to_string(body.size()) +
           "\r\nConnection: close\r\n" + headers + "\r\n" + body;
}

// Connect, send and read, as the update check does.
std::string Fetch(std::uint16_t port, const std::wstring& path = L"/", std::size_t limit = Http::defaultResponseLimit)
{
    Http http(L"KovaTests agent");
    http.Connect(L"127.0.0.1", port);
    http.SendRequest(L"GET", path);
    return http.ReadResponse(limit);
}

std::string Header(const std::string& request, const std::string& name)
{
    const std::string start = "\r\n" + name + ": ";
    const std::size_t at = request.find(start);
    if (at == std::string::npos) {
        return "(absent)";
    }
    const std::size_t from = at + start.size();
    return request.substr(from, request.find("\r\n", from) - from);
}

// Returns the LastErrorException's code, checking where it was thrown.
std::uint32_t LastErrorOf(void (*action)(std::uint16_t), std::uint16_t port, const char* function, int line)
{
    try {
        action(port);
    } catch (const Kova::LastErrorException& failure) {
        EXPECT_STREQ(failure.GetFunction(), function);
        EXPECT_EQ(failure.GetLine(), line);
        EXPECT_STREQ(failure.GetFile(), "Net/Http");
        return failure.GetCode();
    }
    ADD_FAILURE() << "nothing thrown";
    return 0;
}

class HttpTest : public testing::Test {
protected:
    void SetUp() override { ASSERT_TRUE(Winsock::Get().ready) << "Winsock not available"; }
};

} // namespace

TEST_F(HttpTest, BodiesAreReturnedByteForByte)
{
    std::string everyByte;
    for (int value = 0; value < 256; ++value) {
        everyByte.push_back(static_cast<char>(value));
    }
    const std::string bodies[] = {
        "",
        "1",
        "0123456789ABCDE",
        "0123456789ABCDEF",
        "0123456789ABCDEFG",
        std::string("a\0b\0\0c\n\0", 8),
        std::string(16, '\0'),
        everyByte,
    };
    for (const std::string& body : bodies) {
        LocalServer server(Answer("200 OK", body));
        ASSERT_NE(server.Port(), 0);
        EXPECT_EQ(Fetch(server.Port()), body) << "body of " << body.size() << " bytes";
    }
}

TEST_F(HttpTest, BodiesWithoutContentLengthOrInChunksAreReadToTheirEnd)
{
    LocalServer untilClose("HTTP/1.1 200 OK\r\nConnection: close\r\n\r\n1.2.36.0\nmore\n");
    EXPECT_EQ(Fetch(untilClose.Port()), "1.2.36.0\nmore\n");

    LocalServer chunked("HTTP/1.1 200 OK\r\nTransfer-Encoding: chunked\r\nConnection: close\r\n\r\n"
                        "5\r\n1.2.3\r\n12\r\n6 and the rest....\r\n0\r\n\r\n");
    EXPECT_EQ(Fetch(chunked.Port()), "1.2.36 and the rest....");
}

TEST_F(HttpTest, ErrorPagesAreReturnedLikeAnyOtherBody)
{
    const std::string page = "<html><title>404 Not Found</title></html>\n";
    LocalServer notFound(Answer("404 Not Found", page));
    EXPECT_EQ(Fetch(notFound.Port()), page);

    LocalServer failing(Answer("500 Internal Server Error", "broken"));
    EXPECT_EQ(Fetch(failing.Port()), "broken");
}

TEST_F(HttpTest, ReadingStopsAtTheLimit)
{
    std::string body;
    for (int line = 0; body.size() < 70000; ++line) {
        body += std::to_string(line) + "\n";
    }
    {
        LocalServer server(Answer("200 OK", body));
        const std::string answer = Fetch(server.Port());
        ASSERT_EQ(answer.size(), Http::defaultResponseLimit);
        EXPECT_EQ(answer, body.substr(0, Http::defaultResponseLimit));
    }
    {
        // Not a multiple of the 16-byte pieces.
        LocalServer server(Answer("200 OK", body));
        EXPECT_EQ(Fetch(server.Port(), L"/", 40), body.substr(0, 40));
    }
    {
        LocalServer server(Answer("200 OK", "exactly"));
        EXPECT_EQ(Fetch(server.Port(), L"/", 7), "exactly");
    }
}

TEST_F(HttpTest, ConnectionCutMidBodyGivesThePartRead)
{
    LocalServer server("HTTP/1.1 200 OK\r\nContent-Length: 100\r\nConnection: close\r\n\r\n"
                       "0123456789abcdefghijklmnopqrstu");
    EXPECT_EQ(Fetch(server.Port()), "0123456789abcdefghijklmnopqrstu");
}

TEST_F(HttpTest, RequestCarriesPathQueryAndAgent)
{
    LocalServer server(Answer("200 OK", "ok"));
    EXPECT_EQ(Fetch(server.Port(), L"/update.php?uid=ABC&app=1.2.35.0&os=6.1.7601&bits=64"), "ok");
    ASSERT_EQ(server.Requests().size(), 1u);
    const std::string& request = server.Requests()[0];
    EXPECT_EQ(request.substr(0, request.find("\r\n")),
              "GET /update.php?uid=ABC&app=1.2.35.0&os=6.1.7601&bits=64 HTTP/1.1");
    EXPECT_EQ(Header(request, "User-Agent"), "KovaTests agent");
    EXPECT_EQ(Header(request, "Host").substr(0, 9), "127.0.0.1");
    // What WinINet adds for a reload differs between systems; kept for the record.
    RecordProperty("Pragma", Header(request, "Pragma"));
    RecordProperty("Cache-Control", Header(request, "Cache-Control"));
    std::printf("request sent:\n%s", request.c_str());
}

TEST_F(HttpTest, AnswersAreNeverTakenFromTheCache)
{
    const std::string cacheable =
        "Cache-Control: max-age=3600\r\nETag: \"v1\"\r\nLast-Modified: Mon, 01 Jan 2024 00:00:00 GMT\r\n";
    LocalServer server(std::vector<std::string>{Answer("200 OK", "first", cacheable), Answer("200 OK", "second")});
    EXPECT_EQ(Fetch(server.Port(), L"/cached"), "first");
    EXPECT_EQ(Fetch(server.Port(), L"/cached"), "second");
    ASSERT_EQ(server.Requests().size(), 2u);
    EXPECT_EQ(Header(server.Requests()[1], "If-None-Match"), "(absent)");
    EXPECT_EQ(Header(server.Requests()[1], "If-Modified-Since"), "(absent)");
}

TEST_F(HttpTest, RefusedConnectionFailsTheSend)
{
    // A port just bound and released has nobody listening on it.
    std::uint16_t port = 0;
    {
        const Winsock& ws = Winsock::Get();
        SOCKET probe = ws.socket(AF_INET, SOCK_STREAM, IPPROTO_TCP);
        sockaddr_in address = Loopback(0);
        int length = sizeof(address);
        ASSERT_EQ(ws.bind(probe, reinterpret_cast<sockaddr*>(&address), sizeof(address)), 0);
        ASSERT_EQ(ws.getsockname(probe, reinterpret_cast<sockaddr*>(&address), &length), 0);
        port = PortOf(address);
        ws.closesocket(probe);
    }
    const std::uint32_t code =
        LastErrorOf([](std::uint16_t to) { Fetch(to); }, port, "Kova::Net::Http::SendRequest", 77);
    EXPECT_GE(code, 12000u);
    EXPECT_LT(code, 13000u);
    RecordProperty("code", static_cast<int>(code));
}

TEST_F(HttpTest, CallsOutOfOrderThrowAtTheirOwnSites)
{
    // Without Connect there is no connection to open a request on. The code
    // for that differs: Wine says the handle is of the wrong type (12018).
    const std::uint32_t noConnection = LastErrorOf(
        [](std::uint16_t) {
            Http http(L"KovaTests agent");
            http.SendRequest(L"GET", L"/");
        },
        0, "Kova::Net::Http::SendRequest", 65);
    EXPECT_NE(noConnection, 0u);
    RecordProperty("no connection", static_cast<int>(noConnection));

    const std::uint32_t emptyHost = LastErrorOf(
        [](std::uint16_t) {
            Http http(L"KovaTests agent");
            http.Connect(L"", 80);
        },
        0, "Kova::Net::Http::Connect", 42);
    EXPECT_NE(emptyHost, 0u);
    RecordProperty("empty host", static_cast<int>(emptyHost));
}

TEST_F(HttpTest, AServerThatNeverAnswersIsGivenUpOn)
{
    // Connections land in the backlog of a listener that never accepts: the
    // request goes out and no answer ever comes.
    const Winsock& ws = Winsock::Get();
    SOCKET listener = ws.socket(AF_INET, SOCK_STREAM, IPPROTO_TCP);
    sockaddr_in address = Loopback(0);
    int length = sizeof(address);
    ASSERT_EQ(ws.bind(listener, reinterpret_cast<sockaddr*>(&address), sizeof(address)), 0);
    ASSERT_EQ(ws.listen(listener, 4), 0);
    ASSERT_EQ(ws.getsockname(listener, reinterpret_cast<sockaddr*>(&address), &length), 0);
    const ULONGLONG start = GetTickCount64();
    try {
        Http http(L"KovaTests agent", 1000);
        http.Connect(L"127.0.0.1", PortOf(address));
        http.SendRequest(L"GET", L"/update.php");
        ADD_FAILURE() << "an answer arrived from nowhere";
    } catch (const Kova::LastErrorException& failure) {
        EXPECT_EQ(failure.GetLine(), 77);
        // Windows reports the time-out itself (12002), Wine an aborted connection (12030).
        EXPECT_TRUE(failure.GetCode() == 12002u || failure.GetCode() == 12030u) << failure.GetCode();
    }
    EXPECT_LT(GetTickCount64() - start, 8000u);
    ws.closesocket(listener);
}

TEST_F(HttpTest, NoCookieOrCredentialGoesOutWhenTheServerAsksForOne)
{
    // One process: WinINet keeps cookies for the life of the process only.
    const std::string challenge = Answer("401 Unauthorized", "who are you?",
                                         "Set-Cookie: session=secret-from-the-server; Path=/\r\n"
                                         "WWW-Authenticate: Basic realm=\"updates\"\r\n"
                                         "WWW-Authenticate: NTLM\r\n"
                                         "WWW-Authenticate: Negotiate\r\n");
    LocalServer server(std::vector<std::string>{challenge, Answer("200 OK", "second")});
    // The challenge is not answered: its body is the answer, like any other.
    EXPECT_EQ(Fetch(server.Port(), L"/update.php"), "who are you?");
    EXPECT_EQ(Fetch(server.Port(), L"/update.php"), "second");
    ASSERT_EQ(server.Requests().size(), 2u);
    for (const std::string& request : server.Requests()) {
        EXPECT_EQ(Header(request, "Cookie"), "(absent)") << request;
        EXPECT_EQ(Header(request, "Authorization"), "(absent)") << request;
    }
}

TEST_F(HttpTest, GetEndsAtItsTotalLimitHoweverTheAnswerTrickles)
{
    // Each byte comes well within the per-wait limits, so only a limit on
    // the whole exchange ends it.
    LocalServer server("HTTP/1.1 200 OK\r\nContent-Length: 100000\r\nConnection: close\r\n\r\n1.2.36\n",
                       LocalServer::After::Trickle);
    const ULONGLONG start = GetTickCount64();
    try {
        Http::Get(L"KovaTests agent", L"127.0.0.1", server.Port(), L"/update.php", 1000);
        ADD_FAILURE() << "a trickle of 100000 bytes ended within a second";
    } catch (const Kova::Win32Exception& failure) {
        EXPECT_EQ(failure.GetCode(), static_cast<std::uint32_t>(ERROR_INTERNET_TIMEOUT));
        EXPECT_STREQ(failure.GetFunction(), "Kova::Net::Http::Get");
        EXPECT_STREQ(failure.GetFile(), "Net/Http");
    }
    const ULONGLONG took = GetTickCount64() - start;
    EXPECT_GE(took, 1000u);
    EXPECT_LT(took, 3000u);
    RecordProperty("milliseconds", static_cast<int>(took));
}

TEST_F(HttpTest, GetReturnsTheAnswerOrRethrowsTheStepThatFailed)
{
    LocalServer server(Answer("200 OK", "1.2.36.0\n"));
    EXPECT_EQ(Http::Get(L"KovaTests agent", L"127.0.0.1", server.Port(), L"/update.php", 20000), "1.2.36.0\n");
    ASSERT_EQ(server.Requests().size(), 1u);
    EXPECT_EQ(Header(server.Requests()[0], "User-Agent"), "KovaTests agent");

    LocalServer limited(Answer("200 OK", "0123456789"));
    EXPECT_EQ(Http::Get(L"KovaTests agent", L"127.0.0.1", limited.Port(), L"/", 20000, 4), "0123");

    const std::uint32_t emptyHost = LastErrorOf(
        [](std::uint16_t) { Http::Get(L"KovaTests agent", L"", 80, L"/", 20000); }, 0, "Kova::Net::Http::Connect", 42);
    EXPECT_NE(emptyHost, 0u);
}
