// win32-exchange.exe: the Data exchange ("D1", then at least 14 characters
// back) from a plain Win32 program, with no Qt and none of the program's
// code, so that what wine's serial emulation allows can be told apart from
// what the program makes of it. bench/bench_windows.cpp runs it under wine
// against the paced simulated counter.
//
// usage: win32-exchange.exe PORT COUNT MODE
//   MODE reopen    each exchange opens and sets up the port, as a click on
//                  "Data" does, and closes it after
//   MODE keep      the port stays open between exchanges
// The read is the program's own scheme: one overlapped one-byte read always
// pending, and what the driver holds after it taken at once.
// Prints "win32_exchange_ratio_<MODE> R": readings a second over the line's
// limit of 60.
#define WIN32_LEAN_AND_MEAN
#include <windows.h>

#include <cstdio>
#include <cstdlib>
#include <cstring>

namespace {

constexpr double kLineLimitPerSecond = 960.0 / (2 + 14);
constexpr DWORD kReplyLength = 14;

HANDLE openPort(const char *name)
{
    char path[64];
    std::snprintf(path, sizeof path, "\\\\.\\%s", name);
    HANDLE port =
        CreateFileA(path, GENERIC_READ | GENERIC_WRITE, 0, nullptr, OPEN_EXISTING, FILE_FLAG_OVERLAPPED, nullptr);
    if (port == INVALID_HANDLE_VALUE)
        return port;
    DCB dcb{};
    dcb.DCBlength = sizeof dcb;
    GetCommState(port, &dcb);
    dcb.BaudRate = 9600;
    dcb.ByteSize = 8;
    dcb.Parity = NOPARITY;
    dcb.StopBits = ONESTOPBIT;
    dcb.fBinary = TRUE;
    dcb.fDtrControl = DTR_CONTROL_ENABLE;
    dcb.fRtsControl = RTS_CONTROL_DISABLE;
    COMMTIMEOUTS timeouts{};
    if (!SetCommState(port, &dcb) || !SetCommTimeouts(port, &timeouts)
        || !PurgeComm(port, PURGE_RXCLEAR | PURGE_TXCLEAR)) {
        CloseHandle(port);
        return INVALID_HANDLE_VALUE;
    }
    return port;
}

// One exchange; false if the line failed.
bool exchange(HANDLE port, HANDLE event)
{
    // Both buffers emptied first, as the program's reading request does.
    PurgeComm(port, PURGE_RXCLEAR | PURGE_TXCLEAR);
    OVERLAPPED write{};
    write.hEvent = event;
    DWORD count = 0;
    if (!WriteFile(port, "D1", 2, nullptr, &write) && GetLastError() != ERROR_IO_PENDING)
        return false;
    GetOverlappedResult(port, &write, &count, TRUE);

    DWORD received = 0;
    char buffer[256];
    while (received < kReplyLength) {
        OVERLAPPED read{};
        read.hEvent = event;
        ResetEvent(event);
        if (!ReadFile(port, buffer, 1, nullptr, &read) && GetLastError() != ERROR_IO_PENDING)
            return false;
        if (!GetOverlappedResult(port, &read, &count, TRUE) || count == 0)
            return false;
        received += count;
        DWORD errors = 0;
        COMSTAT status{};
        if (!ClearCommError(port, &errors, &status))
            return false;
        if (status.cbInQue > 0) {
            OVERLAPPED rest{};
            rest.hEvent = event;
            ResetEvent(event);
            const DWORD want = status.cbInQue < sizeof buffer ? status.cbInQue : sizeof buffer;
            if (!ReadFile(port, buffer, want, nullptr, &rest) && GetLastError() != ERROR_IO_PENDING)
                return false;
            if (!GetOverlappedResult(port, &rest, &count, TRUE))
                return false;
            received += count;
        }
    }
    return true;
}

} // namespace

int main(int argc, char *argv[])
{
    if (argc != 4 || (std::strcmp(argv[3], "reopen") != 0 && std::strcmp(argv[3], "keep") != 0)) {
        std::fprintf(stderr, "usage: win32-exchange.exe PORT COUNT reopen|keep\n");
        return 2;
    }
    const bool reopen = std::strcmp(argv[3], "reopen") == 0;
    const int readings = std::atoi(argv[2]);
    HANDLE event = CreateEventA(nullptr, TRUE, FALSE, nullptr);

    LARGE_INTEGER frequency, start, end;
    QueryPerformanceFrequency(&frequency);
    QueryPerformanceCounter(&start);
    HANDLE port = INVALID_HANDLE_VALUE;
    for (int i = 0; i < readings; ++i) {
        if (port == INVALID_HANDLE_VALUE || reopen) {
            if (port != INVALID_HANDLE_VALUE)
                CloseHandle(port);
            port = openPort(argv[1]);
            if (port == INVALID_HANDLE_VALUE) {
                std::fprintf(stderr, "cannot open %s: error %lu\n", argv[1], GetLastError());
                return 1;
            }
        }
        if (!exchange(port, event)) {
            std::fprintf(stderr, "the line failed: error %lu\n", GetLastError());
            return 1;
        }
    }
    QueryPerformanceCounter(&end);
    CloseHandle(port);
    const double seconds = double(end.QuadPart - start.QuadPart) / double(frequency.QuadPart);
    std::printf("win32_exchange_ratio_%s %.3f\n", argv[3], readings / seconds / kLineLimitPerSecond);
    return 0;
}
