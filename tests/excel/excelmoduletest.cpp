// excel-module-test.exe: loads tallyo-excel.dll through its C entry points
// and makes a recording's calls against excel-standin.exe, registered as
// "Excel.Application", then checks the stand-in's log of what Excel was
// asked. Plain C++ and Win32; run-under-wine.sh runs it under wine.
//
// usage: excel-module-test.exe LOG CONTROL CASE...
//   LOG, CONTROL: the stand-in's log and control file (as registered)
//   CASE: not-registered | recording | busy | busy-filter | vanishing | cancel
#define WIN32_LEAN_AND_MEAN
#define NOMINMAX
#include <windows.h>

#include "sheetbackend.h"

#include <cstdio>
#include <fstream>
#include <functional>
#include <map>
#include <memory>
#include <sstream>
#include <string>
#include <vector>

using tallyo::SheetBackend;
using tallyo::SpreadsheetError;
namespace Error = tallyo::SpreadsheetErrorNumber;

namespace {

std::wstring logPath;
std::wstring controlPath;
int failures = 0;

#define CHECK(condition, ...)                                                                                          \
    do {                                                                                                               \
        if (!(condition)) {                                                                                            \
            std::printf("  FAIL line %d: %s\n", __LINE__, #condition);                                                 \
            std::printf("    " __VA_ARGS__);                                                                           \
            std::printf("\n");                                                                                         \
            ++failures;                                                                                                \
        }                                                                                                              \
    } while (0)

std::vector<std::string> logLines()
{
    std::ifstream file(logPath.c_str());
    std::vector<std::string> lines;
    for (std::string line; std::getline(file, line);)
        lines.push_back(line);
    return lines;
}

std::string joined(const std::vector<std::string> &lines)
{
    std::string text;
    for (const std::string &line : lines)
        text += "\n      " + line;
    return text;
}

// The calls that changed something: what the sheet and the window show.
std::vector<std::string> effects()
{
    std::vector<std::string> out;
    for (const std::string &line : logLines()) {
        if (line.rfind("put ", 0) == 0 || line.rfind("call ", 0) == 0)
            out.push_back(line);
    }
    return out;
}

std::size_t countOf(const std::vector<std::string> &lines, const std::string &prefix)
{
    std::size_t count = 0;
    for (const std::string &line : lines)
        count += line.rfind(prefix, 0) == 0;
    return count;
}

DWORD standInProcess()
{
    for (const std::string &line : logLines()) {
        if (line.rfind("start ", 0) == 0)
            return static_cast<DWORD>(std::stoul(line.substr(6)));
    }
    return 0;
}

// A fresh log, and what the next stand-in is to do.
void prepare(const std::string &control)
{
    DeleteFileW(logPath.c_str());
    std::ofstream(controlPath.c_str(), std::ios::trunc) << control;
}

// The stand-in ends once nothing refers to it; wait for that (or end a hung
// one), so that the next case's log is its own.
void finishStandIn(DWORD process, bool kill)
{
    if (!process)
        return;
    HANDLE handle = OpenProcess(SYNCHRONIZE | PROCESS_TERMINATE, FALSE, process);
    if (!handle)
        return;
    if (kill)
        TerminateProcess(handle, 1);
    const bool ended = WaitForSingleObject(handle, 60'000) == WAIT_OBJECT_0;
    CHECK(ended, "the stand-in did not end once it was released");
    if (!ended)
        TerminateProcess(handle, 1);
    CloseHandle(handle);
}

struct Module {
    tallyo::SheetBackendCreateFunction create = nullptr;
    std::unique_ptr<SheetBackend> backend() { return std::unique_ptr<SheetBackend>(create({})); }
};

// Runs call and returns the error it threw (number 0: none).
SpreadsheetError failureOf(const std::function<void()> &call)
{
    try {
        call();
    } catch (const SpreadsheetError &e) {
        return e;
    }
    return SpreadsheetError(0, "");
}

// One turn of a recording: the cells, the fit, the number format.
void turn(SheetBackend &excel, long long row, const std::vector<std::string> &readings)
{
    excel.setCellFormulas(row, 1, readings);
    excel.autoFitColumns(1, 51);
    excel.setSelectionNumberFormat("0");
}

std::unique_ptr<SheetBackend> started(Module &module)
{
    auto excel = module.backend();
    excel->start();
    excel->setVisible(true);
    excel->addWorkbook();
    return excel;
}

void notRegistered(Module &module)
{
    prepare("");
    auto excel = module.backend();
    const SpreadsheetError e = failureOf([&] { excel->start(); });
    CHECK(e.number == Error::NotInstalled, "error %d: %s", e.number, e.what());
    const std::string text = e.what();
    CHECK(text.find("Microsoft Excel is not installed") != std::string::npos
              && text.find("\"Excel.Application\"") != std::string::npos,
          "text: %s", e.what());
}

void recording(Module &module)
{
    prepare("");
    const SpreadsheetError e = failureOf([&] {
        auto excel = started(module);
        turn(*excel, 1, {"1.0000000E+07\r"});
        turn(*excel, 2, {"=HYPERLINK(\"http://x\")", "-1.5E-03", "+2.50000E+03"});
        turn(*excel, 5, {" 12.5 Hz", "+1+2", "-10.5 mV\r", "@SUM(A1)", "-2.5e-3\r"});
    });
    CHECK(e.number == 0, "error %d: %s", e.number, e.what());
    const std::vector<std::string> expected = {
        R"(put Visible = True)",
        R"(put UserControl = True)",
        R"(call Workbooks.Add)",
        R"(put Cells(1,1).Formula = "1.0000000E+07\r")",
        R"(call Columns("A:AY").EntireColumn.AutoFit)",
        R"(put Selection.NumberFormat = "0")",
        R"-(put Range("A2:A4").Formula = {"'=HYPERLINK(\"http://x\")";"-1.5E-03";"+2.50000E+03"})-",
        R"(call Columns("A:AY").EntireColumn.AutoFit)",
        R"(put Selection.NumberFormat = "0")",
        R"-(put Range("A5:A9").Formula = {" 12.5 Hz";"'+1+2";"'-10.5 mV\r";"'@SUM(A1)";"-2.5e-3\r"})-",
        R"(call Columns("A:AY").EntireColumn.AutoFit)",
        R"(put Selection.NumberFormat = "0")",
    };
    const auto seen = effects();
    CHECK(seen == expected, "the stand-in was asked:%s", joined(seen).c_str());
    finishStandIn(standInProcess(), false);
}

// Excel refuses every call for a while after the second reading: 40 s
// (longer than any deadline a call once had) from Invoke, or 5 s from COM's
// message filter, before the call reaches Excel. The recording only waits.
void busy(Module &module, bool inFilter)
{
    prepare(inFilter ? "reject-after-cells 2\nreject-for-ms 5000\nreject-in-filter 1\n"
                     : "reject-after-cells 2\nreject-for-ms 40000\n");
    const SpreadsheetError e = failureOf([&] {
        auto excel = started(module);
        turn(*excel, 1, {"1"});
        turn(*excel, 2, {"2"});
        turn(*excel, 3, {"3"});
        turn(*excel, 4, {"4", "5", "6"});
    });
    CHECK(e.number == 0, "error %d: %s", e.number, e.what());
    const auto lines = logLines();
    CHECK(countOf(lines, "rejected") > 0 && countOf(lines, "answering") == 1, "log:%s", joined(lines).c_str());
    std::vector<std::string> cells;
    for (const std::string &line : effects()) {
        if (line.find(".Formula = ") != std::string::npos)
            cells.push_back(line);
    }
    const std::vector<std::string> expected = {
        R"(put Cells(1,1).Formula = "1")",
        R"(put Cells(2,1).Formula = "2")",
        R"(put Cells(3,1).Formula = "3")",
        R"(put Range("A4:A6").Formula = {"4";"5";"6"})",
    };
    CHECK(cells == expected, "cells written:%s", joined(cells).c_str());
    finishStandIn(standInProcess(), false);
}

// Excel quits, or its workbook is closed, during a write longer than one call
// takes (4096 cells): the error says which, and counts the cells of the calls
// Excel answered; the call that failed is not offered again.
void vanishing(Module &module)
{
    struct Case {
        const char *control;
        int number;
        const char *last;
    };
    for (const Case &c : {Case{"exit-after-cells 4098\n", Error::ApplicationGone, "exit"},
                          Case{"close-after-cells 4098\n", Error::DocumentGone, "close workbook"}}) {
        prepare(c.control);
        auto excel = started(module);
        const DWORD process = standInProcess();
        turn(*excel, 1, {"1", "2"});
        const SpreadsheetError e =
            failureOf([&] { excel->setCellFormulas(3, 1, std::vector<std::string>(5000, "7")); });
        // Excel gone while the second put was on its way: it may have written
        // those 904 cells. A closed workbook wrote none of them.
        const std::size_t maybe = c.number == Error::ApplicationGone ? 904 : 0;
        CHECK(e.number == c.number && e.cellsDone == 4096 && e.cellsMaybe == maybe,
              "%s: error %d after %zu cells, %zu maybe: %s", c.control, e.number, e.cellsDone, e.cellsMaybe, e.what());
        const SpreadsheetError next = failureOf([&] { excel->setCellFormulas(4099, 1, {"8"}); });
        CHECK(next.number == c.number && next.cellsDone == 0, "%s: next call: error %d after %zu cells: %s", c.control,
              next.number, next.cellsDone, next.what());
        const auto lines = logLines();
        CHECK(countOf(lines, "put Range(\"A1:A2\")") == 1 && countOf(lines, "put Range(\"A3:A4098\")") == 1
                  && countOf(lines, "put Range(\"A4099:") == 0 && countOf(lines, "put Cells") == 0
                  && countOf(lines, c.last) == 1,
              "%s: log:%s", c.control, joined(lines).c_str());
        excel.reset();
        finishStandIn(process, false);
    }
}

// Excel stops answering in the middle of a write; cancel() from another
// thread ends the call at once, and every later one.
void cancel(Module &module)
{
    prepare("hang-after-cells 1\n");
    auto excel = started(module);
    const DWORD process = standInProcess();
    turn(*excel, 1, {"1"});

    struct Writer {
        SheetBackend *excel;
        SpreadsheetError outcome{0, ""};
    } writer{excel.get()};
    HANDLE thread = CreateThread(
        nullptr, 0,
        [](void *parameter) -> DWORD {
            auto *w = static_cast<Writer *>(parameter);
            w->outcome = failureOf([&] { w->excel->setCellFormulas(2, 1, {"2", "3"}); });
            return 0;
        },
        &writer, 0, nullptr);
    // Cancel once the stand-in sits on the call.
    for (int i = 0; i < 600 && countOf(logLines(), "hang") == 0; ++i)
        WaitForSingleObject(thread, 100);
    CHECK(countOf(logLines(), "hang") == 1, "the stand-in never received the second write");
    excel->cancel();
    const bool returned = WaitForSingleObject(thread, 60'000) == WAIT_OBJECT_0;
    CHECK(returned, "the write did not return after cancel()");
    if (!returned)
        return;
    CloseHandle(thread);
    CHECK(writer.outcome.number == Error::Abandoned && writer.outcome.cellsDone == 0, "error %d after %zu cells: %s",
          writer.outcome.number, writer.outcome.cellsDone, writer.outcome.what());
    const SpreadsheetError later = failureOf([&] { excel->autoFitColumns(1, 51); });
    CHECK(later.number == Error::Abandoned, "a later call: error %d: %s", later.number, later.what());
    excel.reset(); // must not wait for the hung stand-in
    finishStandIn(process, true);
}

} // namespace

int wmain(int argc, wchar_t **argv)
{
    if (argc < 4) {
        std::fprintf(stderr, "usage: excel-module-test.exe LOG CONTROL CASE...\n");
        return 2;
    }
    logPath = argv[1];
    controlPath = argv[2];

    HMODULE dll = LoadLibraryW(L"tallyo-excel.dll");
    if (!dll) {
        std::printf("FAIL: tallyo-excel.dll does not load (error %lu)\n", GetLastError());
        return 1;
    }
    const auto abi = reinterpret_cast<tallyo::SheetModuleAbiFunction>(
        reinterpret_cast<void *>(GetProcAddress(dll, tallyo::SheetModuleAbiSymbol)));
    Module module;
    module.create = reinterpret_cast<tallyo::SheetBackendCreateFunction>(
        reinterpret_cast<void *>(GetProcAddress(dll, tallyo::SheetBackendCreateSymbol)));
    if (!abi || abi() != tallyo::SheetModuleAbi || !module.create) {
        std::printf("FAIL: tallyo-excel.dll lacks its entry points or belongs to another build\n");
        return 1;
    }

    const std::map<std::wstring, std::function<void()>> cases = {
        {L"not-registered", [&] { notRegistered(module); }},
        {L"recording", [&] { recording(module); }},
        {L"busy", [&] { busy(module, false); }},
        {L"busy-filter", [&] { busy(module, true); }},
        {L"vanishing", [&] { vanishing(module); }},
        {L"cancel", [&] { cancel(module); }},
    };
    for (int i = 3; i < argc; ++i) {
        const auto it = cases.find(argv[i]);
        if (it == cases.end()) {
            std::printf("FAIL: no case %ls\n", argv[i]);
            return 2;
        }
        const int before = failures;
        const ULONGLONG started = GetTickCount64();
        try {
            it->second();
        } catch (const std::exception &e) {
            std::printf("  FAIL: %s\n", e.what());
            ++failures;
        }
        std::printf("%s %ls (%.1f s)\n", failures == before ? "PASS" : "FAIL", argv[i],
                    static_cast<double>(GetTickCount64() - started) / 1000.0);
        std::fflush(stdout);
    }
    return failures ? 1 : 0;
}
