// console-run.exe: runs a program in this console, the way a user's command
// prompt does, and exits with its exit status. Ctrl+C typed in the console
// reaches the program; this process itself lets it pass. Plain Win32, for
// the tests that run the Windows build under wine, where a console on a
// Linux terminal is what a user's console window is on Windows.
//
// usage: console-run.exe PROGRAM [ARG...]
//   Exits with PROGRAM's exit status; 255 if it could not be started.
#define WIN32_LEAN_AND_MEAN
#include <windows.h>

#include <cstdio>
#include <string>

namespace {

// The command line after our own name, as it was given.
const wchar_t *argumentsAfterFirst(const wchar_t *line)
{
    bool quoted = false;
    for (; *line && (quoted || (*line != L' ' && *line != L'\t')); ++line) {
        if (*line == L'"')
            quoted = !quoted;
    }
    while (*line == L' ' || *line == L'\t')
        ++line;
    return line;
}

// Lets Ctrl+C and Ctrl+Break pass this process by. (Ignoring them with a
// null handler would be inherited by the program.)
BOOL WINAPI letPass(DWORD event)
{
    return event == CTRL_C_EVENT || event == CTRL_BREAK_EVENT;
}

} // namespace

int main()
{
    std::wstring command = argumentsAfterFirst(GetCommandLineW());
    if (command.empty()) {
        std::fprintf(stderr, "usage: console-run.exe PROGRAM [ARG...]\n");
        return 255;
    }
    // Ctrl+C is the program's to handle; a command prompt waits it out too.
    SetConsoleCtrlHandler(letPass, TRUE);
    STARTUPINFOW startup{};
    startup.cb = sizeof startup;
    PROCESS_INFORMATION child{};
    if (!CreateProcessW(nullptr, command.data(), nullptr, nullptr, TRUE, 0, nullptr, nullptr, &startup, &child)) {
        std::fprintf(stderr, "console-run: cannot start the program: error %lu\n", GetLastError());
        return 255;
    }
    WaitForSingleObject(child.hProcess, INFINITE);
    DWORD status = 255;
    GetExitCodeProcess(child.hProcess, &status);
    return int(status);
}
