// bench-excel.exe: the calls tallyo-excel.dll makes, and how fast, recording
// into the stand-in Excel of tests/excel under wine. scripts/bench.sh runs it
// through tests/excel/run-under-wine.sh. Prints "name value" lines:
//   excel_calls_per_1000_rows  calls the stand-in received (member lookups
//                              included) while a backlog of 3,000 readings
//                              went in as the recording hands it over after
//                              a wait: one run of rows, then the fit and the
//                              number format
//   excel_backlog_ms           the time that backlog took
//   excel_turns_per_second     one reading at a time: cell, fit, format
// COM's round trips only: a real Excel adds its own work to every call.
//
// usage: bench-excel.exe DLL LOG CONTROL   (the stand-in's log and control file)
#define WIN32_LEAN_AND_MEAN
#define NOMINMAX
#include <windows.h>

#include "sheetbackend.h"

#include <cstdio>
#include <fstream>
#include <memory>
#include <string>
#include <vector>

namespace {

std::wstring logPath;

// The calls the stand-in has logged so far.
std::size_t callsLogged()
{
    std::ifstream file(logPath.c_str());
    std::size_t calls = 0;
    for (std::string line; std::getline(file, line);) {
        for (const char *kind : {"name ", "get ", "put ", "call ", "rejected"})
            calls += line.rfind(kind, 0) == 0;
    }
    return calls;
}

void turn(tallyo::SheetBackend &excel, long long row, const std::vector<std::string> &readings)
{
    excel.setCellFormulas(row, 1, readings);
    excel.autoFitColumns(1, 51);
    excel.setSelectionNumberFormat("0");
}

double secondsSince(ULONGLONG start)
{
    return static_cast<double>(GetTickCount64() - start) / 1000.0;
}

} // namespace

int wmain(int argc, wchar_t **argv)
{
    if (argc < 4) {
        std::fprintf(stderr, "usage: bench-excel.exe DLL LOG CONTROL\n");
        return 2;
    }
    logPath = argv[2];
    DeleteFileW(logPath.c_str());
    DeleteFileW(argv[3]);
    HMODULE dll = LoadLibraryW(argv[1]);
    const auto create = dll ? reinterpret_cast<tallyo::SheetBackendCreateFunction>(
                            reinterpret_cast<void *>(GetProcAddress(dll, tallyo::SheetBackendCreateSymbol)))
                            : nullptr;
    if (!create) {
        std::fprintf(stderr, "bench-excel: %ls does not load\n", argv[1]);
        return 1;
    }
    try {
        std::unique_ptr<tallyo::SheetBackend> excel(create({}));
        excel->start();
        excel->setVisible(true);
        excel->addWorkbook();
        const std::string reading = "1.2345678E+07\r";
        turn(*excel, 1, {reading});

        constexpr int backlog = 3000;
        const std::size_t before = callsLogged();
        ULONGLONG start = GetTickCount64();
        turn(*excel, 2, std::vector<std::string>(backlog, reading));
        const double backlogSeconds = secondsSince(start);
        const double calls = static_cast<double>(callsLogged() - before);

        constexpr int turns = 1000;
        start = GetTickCount64();
        for (int row = 2 + backlog; row < 2 + backlog + turns; ++row)
            turn(*excel, row, {reading});
        const double turnSeconds = secondsSince(start);

        std::printf("excel_calls_per_1000_rows %.1f\n", calls * 1000.0 / backlog);
        std::printf("excel_backlog_ms %.0f\n", backlogSeconds * 1000.0);
        std::printf("excel_turns_per_second %.0f\n", turns / turnSeconds);
    } catch (const tallyo::SpreadsheetError &e) {
        std::fprintf(stderr, "bench-excel: error %d: %s\n", e.number, e.what());
        return 1;
    }
    return 0;
}
