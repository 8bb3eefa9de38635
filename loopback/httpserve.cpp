// httpserve --file PATH [--port N] [--no-length] [--ignore-range] [--trickle-headers] [--seconds N]
// Serves one file over HTTP on 127.0.0.1 until killed or the seconds pass.
#include "http_server.h"
#include "utf8.h"

#include <windows.h>

#include <cstdio>
#include <cwchar>
#include <string>

namespace {

bool ParseCount(const wchar_t *text, unsigned long max, unsigned long *value)
{
    wchar_t *end = nullptr;
    const unsigned long v = wcstoul(text, &end, 10);
    if (!*text || *end || v > max)
        return false;
    *value = v;
    return true;
}

int Usage()
{
    std::fprintf(stderr,
                 "usage: httpserve --file PATH [--port N] [--no-length] [--ignore-range] [--trickle-headers] [--seconds N]\n");
    return 2;
}

} // namespace

int wmain(int argc, wchar_t **argv)
{
    std::wstring file;
    unsigned long port = 0, seconds = 0;
    unsigned modes = loopback::HttpServer::kNormal;
    for (int i = 1; i < argc; ++i) {
        const std::wstring arg = argv[i];
        const bool hasValue = i + 1 < argc;
        if (arg == L"--file" && hasValue) {
            file = argv[++i];
        } else if (arg == L"--port" && hasValue) {
            if (!ParseCount(argv[++i], 65535, &port))
                return Usage();
        } else if (arg == L"--seconds" && hasValue) {
            if (!ParseCount(argv[++i], 0xFFFFFFFFul / 1000, &seconds))
                return Usage();
        } else if (arg == L"--no-length") {
            modes |= loopback::HttpServer::kNoLength;
        } else if (arg == L"--ignore-range") {
            modes |= loopback::HttpServer::kIgnoreRange;
        } else if (arg == L"--trickle-headers") {
            modes |= loopback::HttpServer::kTrickleHeaders;   // one byte a second
        } else {
            return Usage();
        }
    }
    if (file.empty())
        return Usage();
    if (GetFileAttributesW(file.c_str()) == INVALID_FILE_ATTRIBUTES) {
        std::fprintf(stderr, "httpserve: cannot find %s\n", Utf8Of(file, LoneSurrogate::Replace).c_str());
        return 1;
    }
    const size_t slash = file.find_last_of(L"\\/");
    const std::string name = "/" + Utf8Of(slash == std::wstring::npos ? file : file.substr(slash + 1), LoneSurrogate::Replace);

    loopback::HttpServer server;
    server.AddFileOnDisk(name, file);
    server.SetModes(modes);
    if (!server.Start(static_cast<uint16_t>(port))) {
        std::fprintf(stderr, "httpserve: cannot listen on port %lu\n", port);
        return 1;
    }
    std::printf("httpserve: serving %s\n", server.Url(name).c_str());
    std::fflush(stdout);
    if (seconds)
        Sleep(static_cast<DWORD>(seconds * 1000));
    else
        for (;;)
            Sleep(INFINITE);
    server.Stop();
    return 0;
}
