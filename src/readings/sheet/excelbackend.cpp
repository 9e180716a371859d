// Microsoft Excel as the spreadsheet application, through COM automation.
//
// Late binding on IDispatch ("Excel.Application" by its ProgID, names looked
// up at run time): no type library and no Office headers, so the module
// builds with any Windows C++ compiler and works with any Excel version.
// Every call addresses Excel's active sheet and selection, exactly as the
// automation calls of a recording do.
//
// Built as tallyo-excel.dll. The backend is created, used and destroyed on
// one thread (QueuedSpreadsheet's worker), which it makes a COM apartment.
#define WIN32_LEAN_AND_MEAN
#define NOMINMAX
#include <windows.h>
#include <ole2.h>
#include <oleauto.h>

#include "columnrange.h"
#include "sheetbackend.h"

#include <chrono>
#include <cstdio>
#include <initializer_list>
#include <string>
#include <thread>
#include <utility>
#include <vector>

namespace tallyo::excel {

namespace {

namespace Error = SpreadsheetErrorNumber;
using Clock = std::chrono::steady_clock;

// Excel's automation names and argument parsing are English whatever the
// user's language: ask in en-US.
constexpr LCID EnglishUs = MAKELCID(MAKELANGID(LANG_ENGLISH, SUBLANG_ENGLISH_US), SORT_DEFAULT);
constexpr int ExcelLastRow = 1'048'576;
constexpr auto BusyRetry = std::chrono::milliseconds(50);
// Excel refuses calls while the user edits a cell or a dialog is open.
constexpr HRESULT ExcelBusy = static_cast<HRESULT>(0x800AC472);

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
    return hr == RPC_E_DISCONNECTED || hr == RPC_E_SERVERFAULT || hr == CO_E_OBJNOTCONNECTED
        || hr == HRESULT_FROM_WIN32(RPC_S_SERVER_UNAVAILABLE) || hr == HRESULT_FROM_WIN32(RPC_S_CALL_FAILED)
        || hr == HRESULT_FROM_WIN32(RPC_S_CALL_FAILED_DNE);
}

bool meansExcelBusy(HRESULT hr)
{
    return hr == RPC_E_CALL_REJECTED || hr == RPC_E_SERVERCALL_RETRYLATER || hr == ExcelBusy;
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

class Excel final : public SheetBackend {
public:
    // (Kept starting here until this backend moves to start() and cancel().)
    explicit Excel(const SheetBackendOptions &) : m_callTimeout(std::chrono::seconds(30))
    {
        const HRESULT init = CoInitializeEx(nullptr, COINIT_APARTMENTTHREADED);
        m_comInitialized = SUCCEEDED(init);
        CLSID clsid;
        HRESULT hr = CLSIDFromProgID(L"Excel.Application", &clsid);
        if (FAILED(hr)) {
            uninitialize();
            throw SpreadsheetError(Error::NotInstalled,
                                   "Microsoft Excel is not installed (no \"Excel.Application\" is registered, "
                                       + hex(hr) + ").");
        }
        // A new instance each time: Excel registers its automation class for single use.
        IDispatch *application = nullptr;
        hr = CoCreateInstance(clsid, nullptr, CLSCTX_LOCAL_SERVER, IID_IDispatch,
                              reinterpret_cast<void **>(&application));
        if (FAILED(hr)) {
            uninitialize();
            throw SpreadsheetError(Error::StartFailed, "Microsoft Excel could not be started (" + hex(hr) + ").");
        }
        m_application.get()->vt = VT_DISPATCH;
        m_application.get()->pdispVal = application;
    }

    ~Excel() override
    {
        // Release only: Excel and the workbook stay with the user.
        m_sheetsOwedFit.clear();
        m_application = Variant();
        uninitialize();
    }

    std::string applicationName() const override { return "Microsoft Excel"; }
    long long lastRow() const override { return ExcelLastRow; }
    void start() override {}
    void cancel() override {}

    void setVisible(bool visible) override
    {
        put(application(), L"Visible", Variant(visible), "show its window");
        // Left to the user: Excel does not quit when we let go of it.
        if (visible)
            put(application(), L"UserControl", Variant(true), "show its window");
    }

    void addWorkbook() override
    {
        const char *step = "open a new workbook";
        Variant workbooks = get(application(), L"Workbooks", {}, step);
        Variant workbook = call(required(workbooks, step), L"Add", {}, step);
        Variant worksheets = get(required(workbook, step), L"Worksheets", {}, step);
        Variant one(1L);
        Variant first = get(required(worksheets, step), L"Item", {&one}, step);
        call(required(first, step), L"Activate", {}, step);
        m_sheetsOwedFit.clear();
    }

    void setCellFormulas(long long firstRow, int column, const std::vector<std::string> &texts) override
    {
        const char *step = "write a reading";
        Variant sheet = activeSheet(step);
        Variant columnNumber(static_cast<long>(column));
        for (std::size_t i = 0; i < texts.size(); ++i) {
            Variant row(static_cast<long>(firstRow + static_cast<long long>(i)));
            Variant cell = get(sheet.object(), L"Cells", {&row, &columnNumber}, step);
            put(required(cell, step), L"Formula", Variant(wide(texts[i])), step);
        }
        noteWritten(sheet);
    }

    void autoFitColumns(int firstColumn, int lastColumn) override
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
                if (e.number != Error::CallFailed)
                    throw;
                // the user deleted that sheet or closed its workbook: nothing left to fit
            }
        }
        m_sheetsOwedFit.clear();
    }

    void setSelectionNumberFormat(const std::string &formatCode) override
    {
        const char *step = "set the number format";
        Variant selection = get(application(), L"Selection", {}, step);
        if (!selection.object())
            throw SpreadsheetError(Error::DocumentGone, "The workbook was closed during the recording.");
        try {
            put(selection.object(), L"NumberFormat", Variant(wide(formatCode)), step);
        } catch (const SpreadsheetError &e) {
            if (e.number != Error::CallFailed)
                throw;
            throw SpreadsheetError(Error::CallFailed,
                                   "The selection in Microsoft Excel is not a range of cells, so it cannot take the "
                                   "number format \"" + formatCode + "\".");
        }
    }

private:
    void uninitialize()
    {
        if (m_comInitialized)
            CoUninitialize();
        m_comInitialized = false;
    }

    IDispatch *application() const { return m_application.object(); }

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
            throw SpreadsheetError(Error::DocumentGone, "The workbook was closed during the recording.");
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

    Variant get(IDispatch *object, const wchar_t *name, std::initializer_list<Variant *> arguments, const char *step)
    {
        return invoke(object, DISPATCH_PROPERTYGET | DISPATCH_METHOD, name, arguments, step);
    }

    Variant call(IDispatch *object, const wchar_t *name, std::initializer_list<Variant *> arguments, const char *step)
    {
        return invoke(object, DISPATCH_METHOD, name, arguments, step);
    }

    void put(IDispatch *object, const wchar_t *name, Variant value, const char *step)
    {
        invoke(object, DISPATCH_PROPERTYPUT, name, {&value}, step);
    }

    // One late-bound call. Retries while Excel is busy with the user, up to
    // the call timeout; maps failures to what the user is told.
    Variant invoke(IDispatch *object, WORD flags, const wchar_t *name, std::initializer_list<Variant *> arguments,
                   const char *step)
    {
        if (!object)
            throw SpreadsheetError(Error::ApplicationGone, "Microsoft Excel was closed during the recording.");
        const auto deadline = Clock::now() + m_callTimeout;
        for (;;) {
            DISPID id = 0;
            LPOLESTR member = const_cast<LPOLESTR>(name);
            HRESULT hr = object->GetIDsOfNames(IID_NULL, &member, 1, EnglishUs, &id);
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
                                    (flags & DISPATCH_PROPERTYPUT) ? nullptr : result.get(), &exception,
                                    &badArgument);
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
            if (meansExcelGone(hr))
                throw SpreadsheetError(Error::ApplicationGone,
                                       "Microsoft Excel was closed, or stopped working, during the recording.");
            if (meansExcelBusy(hr)) {
                if (Clock::now() + BusyRetry > deadline)
                    throw SpreadsheetError(Error::ApplicationGone, "Microsoft Excel stopped responding: it stayed busy.");
                std::this_thread::sleep_for(BusyRetry);
                continue;
            }
            throw SpreadsheetError(Error::CallFailed, std::string("Microsoft Excel could not ") + step + " ("
                                                          + (description.empty() ? hex(hr) : description) + ").");
        }
    }

    std::chrono::milliseconds m_callTimeout;
    bool m_comInitialized = false;
    Variant m_application;
    // Sheets written since the last AutoFit (one, unless the user switched).
    std::vector<Variant> m_sheetsOwedFit;
};

} // namespace

} // namespace tallyo::excel

extern "C" __declspec(dllexport) int tallyo_sheet_module_abi()
{
    return tallyo::SheetModuleAbi;
}

extern "C" __declspec(dllexport) tallyo::SheetBackend *tallyo_sheet_backend_create(const tallyo::SheetBackendOptions &options)
{
    return new tallyo::excel::Excel(options);
}
