// Microsoft Excel as the spreadsheet application, through COM automation.
//
// Late binding on IDispatch ("Excel.Application" by its ProgID, names looked
// up at run time): no type library and no Office headers, so the module
// builds with any Windows C++ compiler and works with any Excel version.
// Every call addresses Excel's active sheet and selection, exactly as the
// automation calls of a recording do. A run of readings goes in with one
// call: the range's Formula set to a column of texts (a two-dimensional
// array, one row per reading); a call Excel answered put all its cells in
// the sheet, one it refused put none.
//
// Built as tallyo-excel.dll. COM runs on a thread of the module's own, a
// single-threaded apartment with a message loop; the caller's thread hands
// each call over and waits for it, so cancel() can release the caller at
// once even while Excel sits on a call. Excel refuses calls while the user
// edits a cell or has a dialog open: a message filter and the call loop retry
// those until Excel takes them, with no deadline, or until cancel().
#define WIN32_LEAN_AND_MEAN
#define NOMINMAX
#include <windows.h>
#include <ole2.h>
#include <oleauto.h>

#include "columnrange.h"
#include "readingtext.h"
#include "sheetbackend.h"

#include <algorithm>
#include <atomic>
#include <cstdio>
#include <exception>
#include <functional>
#include <initializer_list>
#include <map>
#include <memory>
#include <string>
#include <utility>
#include <vector>

namespace tallyo::excel {

namespace {

namespace Error = SpreadsheetErrorNumber;

// Excel's automation names and argument parsing are English whatever the
// user's language: ask in en-US.
constexpr LCID EnglishUs = MAKELCID(MAKELANGID(LANG_ENGLISH, SUBLANG_ENGLISH_US), SORT_DEFAULT);
// Readings handed to Excel in one call at most: a backlog goes in a few
// calls, and no single call grows without bound.
constexpr std::size_t MaxCellsPerWrite = 4096;
// How soon a refused call is offered again.
constexpr DWORD BusyRetryMs = 100;
// Excel's own "busy" answer from Invoke while it is in a modal state.
constexpr HRESULT ExcelBusy = static_cast<HRESULT>(0x800AC472);
// Thread messages of the apartment thread.
constexpr UINT RunJobMessage = WM_APP + 1;
constexpr UINT WakeMessage = WM_APP + 2;

const std::string Gone = "Microsoft Excel was closed, or stopped working, during the recording.";
const std::string DocumentClosed = "The workbook was closed in Microsoft Excel during the recording.";
const std::string GivenUp = "Microsoft Excel was given up: nothing more is sent to it.";

std::wstring wide(const std::string &utf8)
{
    if (utf8.empty())
        return {};
    const int length = MultiByteToWideChar(CP_UTF8, 0, utf8.data(), static_cast<int>(utf8.size()), nullptr, 0);
    std::wstring text(static_cast<std::size_t>(length), L'\0');
    MultiByteToWideChar(CP_UTF8, 0, utf8.data(), static_cast<int>(utf8.size()), text.data(), length);
    return text;
}

std::string narrow(const wchar_t *text)
{
    if (!text || !*text)
        return {};
    const int length = WideCharToMultiByte(CP_UTF8, 0, text, -1, nullptr, 0, nullptr, nullptr);
    std::string utf8(static_cast<std::size_t>(length), '\0');
    WideCharToMultiByte(CP_UTF8, 0, text, -1, utf8.data(), length, nullptr, nullptr);
    utf8.resize(static_cast<std::size_t>(length > 0 ? length - 1 : 0));
    return utf8;
}

std::string hex(HRESULT hr)
{
    char text[16];
    std::snprintf(text, sizeof text, "0x%08lX", static_cast<unsigned long>(hr));
    return text;
}

bool meansExcelGone(HRESULT hr)
{
    return hr == RPC_E_DISCONNECTED || hr == RPC_E_SERVERFAULT || hr == CO_E_OBJNOTCONNECTED || hr == RPC_E_SERVER_DIED
        || hr == RPC_E_SERVER_DIED_DNE || hr == RPC_E_CONNECTION_TERMINATED
        || hr == HRESULT_FROM_WIN32(RPC_S_SERVER_UNAVAILABLE) || hr == HRESULT_FROM_WIN32(RPC_S_CALL_FAILED)
        || hr == HRESULT_FROM_WIN32(RPC_S_CALL_FAILED_DNE);
}

bool meansExcelBusy(HRESULT hr)
{
    return hr == RPC_E_CALL_REJECTED || hr == RPC_E_SERVERCALL_RETRYLATER || hr == ExcelBusy;
}

// A reading is the cell's formula unchanged, except one Excel would take
// for a formula: one that begins with "=" (never a counter's reading: a
// garbled or hostile line), and, since Excel unlike Calc also evaluates what
// begins with "+", "-" or "@", such a reading unless it is a plain signed
// number ("+1+2", "-10.5 mV" would be a formula, or a formula error). Those
// go in as text, with Excel's apostrophe prefix: nothing from the line is
// ever evaluated.
std::wstring cellFormula(const std::string &reading)
{
    return reading::wouldBeEvaluated(reading) ? L"'" + wide(reading) : wide(reading);
}

// An owned VARIANT.
class Variant {
public:
    Variant() { VariantInit(&m_value); }
    explicit Variant(long number) : Variant()
    {
        m_value.vt = VT_I4;
        m_value.lVal = number;
    }
    explicit Variant(bool flag) : Variant()
    {
        m_value.vt = VT_BOOL;
        m_value.boolVal = flag ? VARIANT_TRUE : VARIANT_FALSE;
    }
    explicit Variant(const std::wstring &text) : Variant()
    {
        m_value.vt = VT_BSTR;
        m_value.bstrVal = SysAllocStringLen(text.data(), static_cast<UINT>(text.size()));
    }
    explicit Variant(IDispatch *owned) : Variant()
    {
        m_value.vt = VT_DISPATCH;
        m_value.pdispVal = owned;
    }
    // An array of VARIANTs, owned from here on.
    explicit Variant(SAFEARRAY *owned) : Variant()
    {
        m_value.vt = VT_ARRAY | VT_VARIANT;
        m_value.parray = owned;
    }
    Variant(const Variant &) = delete;
    Variant &operator=(const Variant &) = delete;
    Variant(Variant &&other) noexcept : Variant() { std::swap(m_value, other.m_value); }
    Variant &operator=(Variant &&other) noexcept
    {
        std::swap(m_value, other.m_value);
        return *this;
    }
    ~Variant() { VariantClear(&m_value); }

    VARIANT *get() { return &m_value; }
    const VARIANT &value() const { return m_value; }
    // The object held, or null for Nothing and Empty.
    IDispatch *object() const { return m_value.vt == VT_DISPATCH ? m_value.pdispVal : nullptr; }

private:
    VARIANT m_value;
};

// What the caller's thread and the apartment thread share. The apartment
// thread keeps its own reference: after cancel() it may still sit in a call
// to Excel when the backend object is gone.
struct Shared {
    Shared()
        : cancelEvent(CreateEventW(nullptr, TRUE, FALSE, nullptr)),
          readyEvent(CreateEventW(nullptr, TRUE, FALSE, nullptr))
    {}
    ~Shared()
    {
        CloseHandle(cancelEvent);
        CloseHandle(readyEvent);
    }
    Shared(const Shared &) = delete;
    Shared &operator=(const Shared &) = delete;

    bool cancelled() const { return cancelRequested.load(); }

    std::atomic<bool> cancelRequested{false};
    HANDLE cancelEvent;
    HANDLE readyEvent; // the apartment thread takes jobs
    DWORD threadId = 0;
};

class Automation;

// One call handed to the apartment thread. It owns copies of what it
// needs: after cancel() it may run on when its caller has long returned.
struct Job {
    Job() : doneEvent(CreateEventW(nullptr, TRUE, FALSE, nullptr)) {}
    ~Job() { CloseHandle(doneEvent); }
    Job(const Job &) = delete;
    Job &operator=(const Job &) = delete;

    std::function<void(Automation &, Job &)> work;
    std::exception_ptr failure;
    std::atomic<std::size_t> cellsDone{0};
    HANDLE doneEvent;
};

// Retries what Excel refuses for as long as it refuses, and ends a call that
// waits on Excel once the backend is cancelled. COM asks it on the apartment
// thread while a call is out.
class MessageFilter final : public IMessageFilter {
public:
    explicit MessageFilter(const Shared &shared) : m_shared(shared) {}

    HRESULT STDMETHODCALLTYPE QueryInterface(REFIID iid, void **out) override
    {
        if (iid == IID_IUnknown || iid == IID_IMessageFilter) {
            *out = static_cast<IMessageFilter *>(this);
            return S_OK;
        }
        *out = nullptr;
        return E_NOINTERFACE;
    }
    // Lives as long as the apartment thread that registered it.
    ULONG STDMETHODCALLTYPE AddRef() override { return 2; }
    ULONG STDMETHODCALLTYPE Release() override { return 1; }

    DWORD STDMETHODCALLTYPE HandleInComingCall(DWORD, HTASK, DWORD, LPINTERFACEINFO) override
    {
        return SERVERCALL_ISHANDLED;
    }
    // Excel is busy (the user edits a cell, a dialog is open): offer the call
    // again shortly, without end, unless the backend was given up.
    DWORD STDMETHODCALLTYPE RetryRejectedCall(HTASK, DWORD, DWORD) override
    {
        return m_shared.cancelled() ? static_cast<DWORD>(-1) : BusyRetryMs;
    }
    DWORD STDMETHODCALLTYPE MessagePending(HTASK, DWORD, DWORD) override
    {
        return m_shared.cancelled() ? PENDINGMSG_CANCELCALL : PENDINGMSG_WAITDEFPROCESS;
    }

private:
    const Shared &m_shared;
};

// Excel itself, driven on the apartment thread only.
class Automation {
public:
    explicit Automation(Shared &shared) : m_shared(shared) {}
    Automation(const Automation &) = delete;
    Automation &operator=(const Automation &) = delete;

    void start()
    {
        CLSID clsid;
        HRESULT hr = CLSIDFromProgID(L"Excel.Application", &clsid);
        if (FAILED(hr)) {
            throw SpreadsheetError(Error::NotInstalled,
                                   "Microsoft Excel is not installed on this computer: no program is registered for "
                                   "automation as \"Excel.Application\" ("
                                       + hex(hr) + ").");
        }
        // A new instance each time: Excel registers its automation class for single use.
        IDispatch *application = nullptr;
        hr = CoCreateInstance(clsid, nullptr, CLSCTX_LOCAL_SERVER, IID_IDispatch,
                              reinterpret_cast<void **>(&application));
        if (m_shared.cancelled()) {
            // Released before it holds anything: an Excel we started quits.
            if (SUCCEEDED(hr))
                application->Release();
            throw SpreadsheetError(Error::Abandoned, GivenUp);
        }
        if (FAILED(hr))
            throw SpreadsheetError(Error::StartFailed, "Microsoft Excel could not be started (" + hex(hr) + ").");
        m_application = Variant(application);
    }

    void release()
    {
        m_sheetsOwedFit.clear();
        m_application = Variant();
    }

    void setVisible(bool visible)
    {
        put(application(), L"Visible", Variant(visible), "show its window");
        // Left to the user: Excel does not quit when we let go of it.
        if (visible)
            put(application(), L"UserControl", Variant(true), "show its window");
    }

    void addWorkbook()
    {
        const char *step = "open a new workbook";
        Variant workbooks = get(application(), L"Workbooks", {}, step);
        call(required(workbooks, step), L"Add", {}, step);
        m_sheetsOwedFit.clear();
    }

    // Counts in done the cells known to be in the sheet: those of the calls
    // Excel has answered. Cells of a call whose answer was lost (Excel died
    // in it, or cancel() ended the wait) may be in the sheet as well.
    void setCellFormulas(long long firstRow, int column, const std::vector<std::string> &texts,
                         std::atomic<std::size_t> &done)
    {
        const char *step = "write a reading";
        std::size_t sent = 0; // cells of a put not answered yet
        try {
            Variant sheet = activeSheet(step);
            while (done < texts.size()) {
                const std::size_t first = done;
                const std::size_t count = std::min(texts.size() - first, MaxCellsPerWrite);
                const long long row = firstRow + static_cast<long long>(first);
                if (count == 1) {
                    Variant rowNumber(static_cast<long>(row));
                    Variant columnNumber(static_cast<long>(column));
                    Variant cell = get(sheet.object(), L"Cells", {&rowNumber, &columnNumber}, step);
                    sent = 1;
                    put(required(cell, step), L"Formula", Variant(cellFormula(texts[first])), step);
                } else {
                    const std::string letters = columnLetters(column);
                    Variant address(wide(letters + std::to_string(row) + ":" + letters
                                         + std::to_string(row + static_cast<long long>(count) - 1)));
                    Variant range = get(sheet.object(), L"Range", {&address}, step);
                    sent = count;
                    put(required(range, step), L"Formula", formulaColumn(texts, first, count), step);
                }
                sent = 0;
                done = first + count;
            }
            noteWritten(sheet);
        } catch (const SpreadsheetError &e) {
            // Excel went away while answering a put: it may have carried it out.
            throw SpreadsheetError(e.number, e.what(), done, e.number == Error::ApplicationGone ? sent : 0);
        }
    }

    void autoFitColumns(int firstColumn, int lastColumn)
    {
        const char *step = "fit the column widths";
        Variant active = activeSheet(step);
        fitColumns(active.object(), firstColumn, lastColumn);
        for (Variant &sheet : m_sheetsOwedFit) {
            if (sameObject(sheet.object(), active.object()))
                continue;
            try {
                fitColumns(sheet.object(), firstColumn, lastColumn);
            } catch (const SpreadsheetError &e) {
                if (e.number != Error::CallFailed && e.number != Error::DocumentGone)
                    throw;
                // the user deleted that sheet or closed its workbook: nothing left to fit
            }
        }
        m_sheetsOwedFit.clear();
    }

    void setSelectionNumberFormat(const std::string &formatCode)
    {
        const char *step = "set the number format";
        Variant selection = get(application(), L"Selection", {}, step);
        if (!selection.object())
            throw SpreadsheetError(Error::DocumentGone, DocumentClosed);
        try {
            // Whatever the user selected (a range, a shape...): its own names.
            put(selection.object(), L"NumberFormat", Variant(wide(formatCode)), step, LookUp::Always);
        } catch (const SpreadsheetError &e) {
            if (e.number != Error::CallFailed)
                throw;
            throw SpreadsheetError(Error::CallFailed,
                                   "The selection in Microsoft Excel is not a range of cells, so it cannot take the "
                                   "number format \""
                                       + formatCode + "\".");
        }
    }

private:
    IDispatch *application() const { return m_application.object(); }

    // texts[first, first + count) as the formulas of a column of cells: an
    // array of count rows and one column, as Excel lays out a range's values.
    static Variant formulaColumn(const std::vector<std::string> &texts, std::size_t first, std::size_t count)
    {
        SAFEARRAYBOUND bounds[2] = {{static_cast<ULONG>(count), 1}, {1, 1}};
        SAFEARRAY *array = SafeArrayCreate(VT_VARIANT, 2, bounds);
        if (!array)
            throw SpreadsheetError(Error::CallFailed, "Microsoft Excel could not write a reading (out of memory).");
        Variant owned(array);
        VARIANT *cells = nullptr;
        if (FAILED(SafeArrayAccessData(array, reinterpret_cast<void **>(&cells))))
            throw SpreadsheetError(Error::CallFailed, "Microsoft Excel could not write a reading (out of memory).");
        // One column: the rows lie one after another.
        for (std::size_t i = 0; i < count; ++i) {
            const std::wstring formula = cellFormula(texts[first + i]);
            cells[i].vt = VT_BSTR;
            cells[i].bstrVal = SysAllocStringLen(formula.data(), static_cast<UINT>(formula.size()));
        }
        SafeArrayUnaccessData(array);
        return owned;
    }

    static IDispatch *required(const Variant &result, const char *step)
    {
        if (!result.object())
            throw SpreadsheetError(Error::CallFailed, std::string("Microsoft Excel could not ") + step + ".");
        return result.object();
    }

    Variant activeSheet(const char *step)
    {
        Variant sheet = get(application(), L"ActiveSheet", {}, step);
        if (!sheet.object())
            throw SpreadsheetError(Error::DocumentGone, DocumentClosed);
        return sheet;
    }

    void fitColumns(IDispatch *sheet, int firstColumn, int lastColumn)
    {
        const char *step = "fit the column widths";
        Variant letters(wide(columnLetters(firstColumn) + ":" + columnLetters(lastColumn)));
        Variant columns = get(sheet, L"Columns", {&letters}, step);
        Variant entire = get(required(columns, step), L"EntireColumn", {}, step);
        call(required(entire, step), L"AutoFit", {}, step);
    }

    static bool sameObject(IDispatch *a, IDispatch *b)
    {
        if (a == b)
            return true;
        if (!a || !b)
            return false;
        IUnknown *identityA = nullptr;
        IUnknown *identityB = nullptr;
        const bool same = SUCCEEDED(a->QueryInterface(IID_IUnknown, reinterpret_cast<void **>(&identityA)))
            && SUCCEEDED(b->QueryInterface(IID_IUnknown, reinterpret_cast<void **>(&identityB)))
            && identityA == identityB;
        if (identityA)
            identityA->Release();
        if (identityB)
            identityB->Release();
        return same;
    }

    void noteWritten(Variant &sheet)
    {
        for (const Variant &owed : m_sheetsOwedFit) {
            if (sameObject(owed.object(), sheet.object()))
                return;
        }
        Variant kept;
        VariantCopy(kept.get(), sheet.get());
        m_sheetsOwedFit.push_back(std::move(kept));
    }

    // Excel numbers its members alike on every object, so a name looked up
    // once serves again (a round trip saved on every call), except on an
    // object whose kind the user chooses.
    enum class LookUp {
        Once,
        Always
    };

    Variant get(IDispatch *object, const wchar_t *name, std::initializer_list<Variant *> arguments, const char *step)
    {
        return invoke(object, DISPATCH_PROPERTYGET | DISPATCH_METHOD, name, arguments, step, LookUp::Once);
    }

    Variant call(IDispatch *object, const wchar_t *name, std::initializer_list<Variant *> arguments, const char *step)
    {
        return invoke(object, DISPATCH_METHOD, name, arguments, step, LookUp::Once);
    }

    void put(IDispatch *object, const wchar_t *name, Variant value, const char *step, LookUp lookUp = LookUp::Once)
    {
        invoke(object, DISPATCH_PROPERTYPUT, name, {&value}, step, lookUp);
    }

    // Excel answers no more: the whole application, or only the workbook an
    // object belonged to? Excel itself still answering tells.
    SpreadsheetError goneError(IDispatch *object)
    {
        if (object != application()) {
            DISPID id = 0;
            LPOLESTR member = const_cast<LPOLESTR>(L"Name");
            const HRESULT hr = application()->GetIDsOfNames(IID_NULL, &member, 1, EnglishUs, &id);
            if (m_shared.cancelled())
                return SpreadsheetError(Error::Abandoned, GivenUp);
            if (!meansExcelGone(hr))
                return SpreadsheetError(Error::DocumentGone, DocumentClosed);
        }
        return SpreadsheetError(Error::ApplicationGone, Gone);
    }

    // One late-bound call, offered again for as long as Excel refuses it as
    // busy; failures become what the user is told.
    Variant invoke(IDispatch *object, WORD flags, const wchar_t *name, std::initializer_list<Variant *> arguments,
                   const char *step, LookUp lookUp)
    {
        if (!object)
            throw SpreadsheetError(Error::ApplicationGone, Gone);
        for (;;) {
            if (m_shared.cancelled())
                throw SpreadsheetError(Error::Abandoned, GivenUp);
            DISPID id = 0;
            HRESULT hr = S_OK;
            const auto known = lookUp == LookUp::Once ? m_memberIds.find(name) : m_memberIds.end();
            if (known != m_memberIds.end()) {
                id = known->second;
            } else {
                LPOLESTR member = const_cast<LPOLESTR>(name);
                hr = object->GetIDsOfNames(IID_NULL, &member, 1, EnglishUs, &id);
                if (SUCCEEDED(hr) && lookUp == LookUp::Once)
                    m_memberIds.emplace(name, id);
            }
            std::string description;
            Variant result;
            if (SUCCEEDED(hr)) {
                std::vector<VARIANT> reversed; // IDispatch takes the arguments last to first
                for (auto it = arguments.end(); it != arguments.begin();)
                    reversed.push_back((*--it)->value());
                DISPID putId = DISPID_PROPERTYPUT;
                DISPPARAMS parameters{reversed.data(), nullptr, static_cast<UINT>(reversed.size()), 0};
                if (flags & DISPATCH_PROPERTYPUT) {
                    parameters.cNamedArgs = 1;
                    parameters.rgdispidNamedArgs = &putId;
                }
                EXCEPINFO exception{};
                UINT badArgument = 0;
                hr = object->Invoke(id, IID_NULL, EnglishUs, flags, &parameters,
                                    (flags & DISPATCH_PROPERTYPUT) ? nullptr : result.get(), &exception, &badArgument);
                if (hr == DISP_E_EXCEPTION) {
                    if (exception.pfnDeferredFillIn)
                        exception.pfnDeferredFillIn(&exception);
                    if (FAILED(exception.scode))
                        hr = exception.scode;
                    description = narrow(exception.bstrDescription);
                }
                SysFreeString(exception.bstrSource);
                SysFreeString(exception.bstrDescription);
                SysFreeString(exception.bstrHelpFile);
            }
            if (SUCCEEDED(hr))
                return result;
            if (hr == DISP_E_MEMBERNOTFOUND && known != m_memberIds.end()) {
                m_memberIds.erase(known); // not this object's number after all: ask it
                continue;
            }
            if (m_shared.cancelled())
                throw SpreadsheetError(Error::Abandoned, GivenUp);
            if (meansExcelBusy(hr)) {
                // COM hands a refusal back here where the message filter's
                // retry does not apply: offer the call again.
                WaitForSingleObject(m_shared.cancelEvent, BusyRetryMs);
                continue;
            }
            if (meansExcelGone(hr))
                throw goneError(object);
            throw SpreadsheetError(Error::CallFailed,
                                   std::string("Microsoft Excel could not ") + step + " ("
                                       + (description.empty() ? hex(hr) : description) + ").");
        }
    }

    Shared &m_shared;
    Variant m_application;
    std::map<std::wstring, DISPID> m_memberIds;
    // Sheets written since the last AutoFit (one, unless the user switched).
    std::vector<Variant> m_sheetsOwedFit;
};

// The apartment thread: COM is initialised here, Excel is created, called and
// released here, and between calls the thread's messages are dispatched as
// an apartment needs.
DWORD WINAPI apartmentThread(void *parameter)
{
    const std::unique_ptr<std::shared_ptr<Shared>> owned(static_cast<std::shared_ptr<Shared> *>(parameter));
    Shared &shared = **owned;
    const HRESULT init = CoInitializeEx(nullptr, COINIT_APARTMENTTHREADED);
    MessageFilter filter(shared);
    IMessageFilter *previousFilter = nullptr;
    CoRegisterMessageFilter(&filter, &previousFilter);
    {
        Automation excel(shared);
        MSG message;
        PeekMessageW(&message, nullptr, WM_USER, WM_USER, PM_NOREMOVE); // the thread's queue exists now
        SetEvent(shared.readyEvent);
        while (GetMessageW(&message, nullptr, 0, 0) > 0) {
            if (message.hwnd == nullptr && message.message == RunJobMessage) {
                const std::unique_ptr<std::shared_ptr<Job>> job(
                    reinterpret_cast<std::shared_ptr<Job> *>(message.lParam));
                try {
                    if (shared.cancelled())
                        throw SpreadsheetError(Error::Abandoned, GivenUp);
                    (*job)->work(excel, **job);
                } catch (...) {
                    (*job)->failure = std::current_exception();
                }
                SetEvent((*job)->doneEvent);
                continue;
            }
            if (message.hwnd == nullptr && message.message == WakeMessage)
                continue;
            TranslateMessage(&message);
            DispatchMessageW(&message);
        }
        // A job's closure may refer to excel: none is left once the loop has ended.
        excel.release();
    }
    CoRegisterMessageFilter(previousFilter, nullptr);
    if (SUCCEEDED(init))
        CoUninitialize();
    return 0;
}

class Excel final : public SheetBackend {
public:
    explicit Excel(const SheetBackendOptions &options) : m_options(options), m_shared(std::make_shared<Shared>()) {}

    ~Excel() override
    {
        // Release only: Excel and the workbook stay with the user. A thread
        // still in a call to Excel after cancel() finishes on its own.
        if (!m_thread)
            return;
        PostThreadMessageW(m_shared->threadId, WM_QUIT, 0, 0);
        if (!m_shared->cancelled())
            WaitForSingleObject(m_thread, INFINITE);
        CloseHandle(m_thread);
    }

    std::string applicationName() const override { return "Microsoft Excel"; }
    long long lastRow() const override { return SheetLastRow; }

    void start() override
    {
        if (m_shared->cancelled())
            throw SpreadsheetError(Error::Abandoned, GivenUp);
        // The thread may outlive this object (cancel() during a call Excel
        // sits on): keep its code loaded for the life of the process.
        HMODULE self = nullptr;
        GetModuleHandleExW(GET_MODULE_HANDLE_EX_FLAG_FROM_ADDRESS | GET_MODULE_HANDLE_EX_FLAG_PIN,
                           reinterpret_cast<LPCWSTR>(&apartmentThread), &self);
        auto *parameter = new std::shared_ptr<Shared>(m_shared);
        m_thread = CreateThread(nullptr, 0, apartmentThread, parameter, 0, &m_shared->threadId);
        if (!m_thread) {
            delete parameter;
            throw SpreadsheetError(Error::StartFailed, "Microsoft Excel could not be started (no thread for it).");
        }
        WaitForSingleObject(m_shared->readyEvent, INFINITE);
        run([](Automation &excel, Job &) { excel.start(); }, m_options.startTimeout);
    }

    void setVisible(bool visible) override
    {
        run([visible](Automation &excel, Job &) { excel.setVisible(visible); });
    }

    void addWorkbook() override
    {
        run([](Automation &excel, Job &) { excel.addWorkbook(); });
    }

    void setCellFormulas(long long firstRow, int column, const std::vector<std::string> &texts) override
    {
        run([firstRow, column, texts](Automation &excel, Job &job) {
            excel.setCellFormulas(firstRow, column, texts, job.cellsDone);
        });
    }

    void autoFitColumns(int firstColumn, int lastColumn) override
    {
        run([firstColumn, lastColumn](Automation &excel, Job &) { excel.autoFitColumns(firstColumn, lastColumn); });
    }

    void setSelectionNumberFormat(const std::string &formatCode) override
    {
        run([formatCode](Automation &excel, Job &) { excel.setSelectionNumberFormat(formatCode); });
    }

    void cancel() override
    {
        m_shared->cancelRequested = true;
        SetEvent(m_shared->cancelEvent);
        // Wakes COM's wait for Excel's answer, so the message filter can end the call.
        if (m_shared->threadId)
            PostThreadMessageW(m_shared->threadId, WakeMessage, 0, 0);
    }

private:
    // Hands one call to the apartment thread and waits until it is done, or
    // until cancel(), or (starting) until the start timeout.
    void run(std::function<void(Automation &, Job &)> work,
             std::chrono::milliseconds timeout = std::chrono::milliseconds::max())
    {
        if (m_shared->cancelled())
            throw SpreadsheetError(Error::Abandoned, GivenUp);
        auto job = std::make_shared<Job>();
        job->work = std::move(work);
        auto *posted = new std::shared_ptr<Job>(job);
        if (!PostThreadMessageW(m_shared->threadId, RunJobMessage, 0, reinterpret_cast<LPARAM>(posted))) {
            delete posted;
            throw SpreadsheetError(Error::ApplicationGone, Gone);
        }
        const DWORD waitMs = timeout == std::chrono::milliseconds::max()
            ? INFINITE
            : static_cast<DWORD>(std::min<long long>(timeout.count(), INFINITE - 1));
        const HANDLE events[] = {job->doneEvent, m_shared->cancelEvent};
        const DWORD woken = WaitForMultipleObjects(2, events, FALSE, waitMs);
        if (woken == WAIT_OBJECT_0) {
            if (job->failure)
                std::rethrow_exception(job->failure);
            return;
        }
        // The call may go on without us: it holds nothing of the caller's.
        if (woken == WAIT_TIMEOUT) {
            cancel();
            throw SpreadsheetError(Error::StartFailed,
                                   "Microsoft Excel did not start within " + std::to_string(timeout.count() / 1000)
                                       + " seconds.");
        }
        throw SpreadsheetError(Error::Abandoned, GivenUp, job->cellsDone);
    }

    SheetBackendOptions m_options;
    std::shared_ptr<Shared> m_shared;
    HANDLE m_thread = nullptr;
};

} // namespace

} // namespace tallyo::excel

extern "C" __declspec(dllexport) int tallyo_sheet_module_abi()
{
    return tallyo::SheetModuleAbi;
}

extern "C" __declspec(dllexport) tallyo::SheetBackend *tallyo_sheet_backend_create(
    const tallyo::SheetBackendOptions &options)
{
    return new tallyo::excel::Excel(options);
}
