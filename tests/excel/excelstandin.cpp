// excel-standin.exe: a stand-in for Microsoft Excel's automation server.
//
// A local COM server, registered under the ProgID "Excel.Application", that
// answers the late-bound IDispatch calls a recording makes, records every call
// in a log file, and on demand refuses calls for a while, hangs, loses its
// workbook or exits, the way a real Excel does when the user is busy in it,
// closes the workbook or quits. It keeps no cells: the log is the sheet.
//
// Register (in a private wine prefix, or as an administrator on Windows):
//   excel-standin.exe /regserver [/log FILE] [/control FILE]
//   excel-standin.exe /unregserver
// The log and control paths are kept in the registered command line; they
// default to excel-standin.log and excel-standin.control beside the exe.
// COM then starts one new process per created application object (as Excel
// registers itself for single use); it ends when the client lets go of it.
// Under wine (8.0): end the wine session that made the prefix
// ("wineserver -k" after "wineboot --init") before the first activation,
// which otherwise may never complete; tests/excel/run-under-wine.sh does.
//
// Log: one line per event, appended and flushed before the call answers:
//   start <pid>                          a new instance
//   name Worksheet.Cells                 a member's number asked for (GetIDsOfNames)
//   get Workbooks                        a property read
//   put Visible = True                   a property write
//   put Cells(3,1).Formula = "12.5\r"    texts quoted, \\ \" \r \n \t \xHH escaped
//   put Range("A4:A6").Formula = {"4";"5";"6"}
//                                        an array: rows apart by ";", columns by ","
//   call Workbooks.Add                   a method
//   call Columns("A:AY").EntireColumn.AutoFit
//   rejected <member> | rejected call    refused as busy
//   busy <ms> ms | answering | hang | close workbook | exit
//   unknown <Kind>.<Name>                a member this stand-in lacks
// Objects are named by how the client reached them (Cells(r,c), Selection,
// Columns("A:AY"), ActiveSheet...), not by the sheet they belong to.
//
// Control file: lines "<key> <number>", read at start and again whenever it
// changes. A count N means "once N cells have been written" (Formula puts on
// Cells or Range; a put of a range writes all its cells or none):
//   reject-after-cells N   every call after that is refused for reject-for-ms
//   reject-for-ms MS       (default 40000)
//   reject-in-filter 1     refuse in IMessageFilter::HandleInComingCall
//                          with SERVERCALL_REJECTED, before the call reaches
//                          Invoke (default: Invoke answers RPC_E_CALL_REJECTED)
//   reject-in-filter 2     the same with SERVERCALL_RETRYLATER, Excel's own
//                          answer (wine 8 carries such calls out all the same)
//   exit-after-cells N     the next cell write ends the process instead,
//                          before it is logged
//   hang-after-cells N     the next cell write never answers
//   close-after-cells N    the next cell write finds its workbook closed:
//                          the workbook's objects are disconnected, the
//                          application has no active sheet or selection
#define WIN32_LEAN_AND_MEAN
#define NOMINMAX
#include <windows.h>
#include <ole2.h>
#include <oleauto.h>

#include <cstdio>
#include <cwchar>
#include <string>
#include <vector>

namespace {

// Our own class id: "Excel.Application" points here, not at Excel's.
constexpr CLSID StandInClsid = {0x6d1e2f7a, 0x41c3, 0x4b8e, {0x9a, 0x52, 0x1f, 0x3c, 0x7e, 0x80, 0x2b, 0x64}};
constexpr wchar_t StandInClsidText[] = L"{6D1E2F7A-41C3-4B8E-9A52-1F3C7E802B64}";
constexpr wchar_t ProgId[] = L"Excel.Application";
// Excel's own answer to a call on a sheet that does not exist.
constexpr HRESULT ExcelMethodFailed = static_cast<HRESULT>(0x800A03EC);

std::string utf8(const wchar_t *text, int length = -1)
{
    if (!text)
        return {};
    const int size = WideCharToMultiByte(CP_UTF8, 0, text, length, nullptr, 0, nullptr, nullptr);
    std::string out(static_cast<std::size_t>(size), '\0');
    WideCharToMultiByte(CP_UTF8, 0, text, length, out.data(), size, nullptr, nullptr);
    if (length < 0 && !out.empty())
        out.pop_back();
    return out;
}

std::string quoted(const std::string &text)
{
    std::string out = "\"";
    for (const unsigned char c : text) {
        switch (c) {
        case '\\':
            out += "\\\\";
            break;
        case '"':
            out += "\\\"";
            break;
        case '\r':
            out += "\\r";
            break;
        case '\n':
            out += "\\n";
            break;
        case '\t':
            out += "\\t";
            break;
        default:
            if (c < 0x20) {
                char hex[8];
                std::snprintf(hex, sizeof hex, "\\x%02X", c);
                out += hex;
            } else {
                out += static_cast<char>(c);
            }
        }
    }
    return out + "\"";
}

// ---- the process's state ----------------------------------------------------

struct Behaviour {
    long rejectAfterCells = -1;
    long rejectForMs = 40'000;
    int rejectInFilter = 0;
    long exitAfterCells = -1;
    long hangAfterCells = -1;
    long closeAfterCells = -1;
};

struct Server {
    std::wstring logPath;
    std::wstring controlPath;
    FILETIME controlStamp{};
    Behaviour behaviour;

    long cellsWritten = 0;
    bool rejectStarted = false;
    ULONGLONG rejectUntil = 0;
    bool visible = false;
    bool userControl = false;
    int workbook = 0; // generation of the open workbook; 0: none
    LONG liveObjects = 0;
    bool served = false; // an application object was handed out

    HANDLE logFile = INVALID_HANDLE_VALUE;

    // Written through at once: a reader sees the line before the call answers.
    void log(const std::string &line)
    {
        if (logFile == INVALID_HANDLE_VALUE)
            logFile =
                CreateFileW(logPath.c_str(), FILE_APPEND_DATA, FILE_SHARE_READ | FILE_SHARE_WRITE | FILE_SHARE_DELETE,
                            nullptr, OPEN_ALWAYS, FILE_ATTRIBUTE_NORMAL, nullptr);
        const std::string text = line + "\n";
        DWORD written = 0;
        WriteFile(logFile, text.data(), static_cast<DWORD>(text.size()), &written, nullptr);
    }

    void readControl()
    {
        WIN32_FILE_ATTRIBUTE_DATA data{};
        if (!GetFileAttributesExW(controlPath.c_str(), GetFileExInfoStandard, &data)) {
            if (controlStamp.dwLowDateTime || controlStamp.dwHighDateTime)
                behaviour = Behaviour{};
            controlStamp = {};
            return;
        }
        if (CompareFileTime(&data.ftLastWriteTime, &controlStamp) == 0)
            return;
        controlStamp = data.ftLastWriteTime;
        behaviour = Behaviour{};
        FILE *file = _wfopen(controlPath.c_str(), L"r");
        if (!file)
            return;
        char key[64];
        long value = 0;
        while (std::fscanf(file, "%63s %ld", key, &value) == 2) {
            const std::string name = key;
            if (name == "reject-after-cells")
                behaviour.rejectAfterCells = value;
            else if (name == "reject-for-ms")
                behaviour.rejectForMs = value;
            else if (name == "reject-in-filter")
                behaviour.rejectInFilter = static_cast<int>(value);
            else if (name == "exit-after-cells")
                behaviour.exitAfterCells = value;
            else if (name == "hang-after-cells")
                behaviour.hangAfterCells = value;
            else if (name == "close-after-cells")
                behaviour.closeAfterCells = value;
            else
                log("unknown control " + name);
        }
        std::fclose(file);
    }

    // Whether the call arriving now is refused as busy.
    bool busy()
    {
        readControl();
        const ULONGLONG now = GetTickCount64();
        if (!rejectStarted && behaviour.rejectAfterCells >= 0 && cellsWritten >= behaviour.rejectAfterCells) {
            rejectStarted = true;
            rejectUntil = now + static_cast<ULONGLONG>(behaviour.rejectForMs);
            log("busy " + std::to_string(behaviour.rejectForMs) + " ms");
        }
        if (rejectStarted && rejectUntil != 0 && now >= rejectUntil) {
            rejectUntil = 0;
            log("answering");
        }
        return rejectStarted && rejectUntil != 0;
    }

    void objectGone()
    {
        if (--liveObjects == 0 && served)
            PostQuitMessage(0);
    }
};

Server server;

// ---- automation objects -------------------------------------------------------

enum class Kind {
    Application,
    Workbooks,
    Workbook,
    Worksheet,
    Range
};

const char *kindName(Kind kind)
{
    switch (kind) {
    case Kind::Application:
        return "Application";
    case Kind::Workbooks:
        return "Workbooks";
    case Kind::Workbook:
        return "Workbook";
    case Kind::Worksheet:
        return "Worksheet";
    case Kind::Range:
        return "Range";
    }
    return "?";
}

// What the Excel module asks for, no more.
enum Member : DISPID {
    Visible = 1,
    UserControl,
    Workbooks,
    ActiveSheet,
    Cells,
    Range,
    Columns,
    Selection,
    Name,
    Add,
    Formula,
    NumberFormat,
    EntireColumn,
    AutoFit,
};

struct MemberInfo {
    const wchar_t *name;
    Member id;
    std::initializer_list<Kind> kinds;
};

const MemberInfo Members[] = {
    {L"Visible", Visible, {Kind::Application}},
    {L"UserControl", UserControl, {Kind::Application}},
    {L"Workbooks", Workbooks, {Kind::Application}},
    {L"ActiveSheet", ActiveSheet, {Kind::Application}},
    {L"Cells", Cells, {Kind::Application, Kind::Worksheet}},
    {L"Range", Range, {Kind::Application, Kind::Worksheet}},
    {L"Columns", Columns, {Kind::Application, Kind::Worksheet}},
    {L"Selection", Selection, {Kind::Application}},
    {L"Name", Name, {Kind::Application}},
    {L"Add", Add, {Kind::Workbooks}},
    {L"Formula", Formula, {Kind::Range}},
    {L"NumberFormat", NumberFormat, {Kind::Range}},
    {L"EntireColumn", EntireColumn, {Kind::Range}},
    {L"AutoFit", AutoFit, {Kind::Range}},
};

class Object;
std::vector<Object *> liveWorkbookObjects;
// The open workbook's sheet while the client holds it: Excel hands out the
// same object for the same sheet, and clients compare them.
Object *activeSheetObject = nullptr;

// One automation object: what it is, how the client reached it, and the
// workbook it belongs to (0: the application's own objects).
class Object final : public IDispatch {
public:
    Object(Kind kind, std::string label, int workbook) : m_kind(kind), m_label(std::move(label)), m_workbook(workbook)
    {
        ++server.liveObjects;
        if (m_workbook)
            liveWorkbookObjects.push_back(this);
    }

    // IUnknown
    HRESULT STDMETHODCALLTYPE QueryInterface(REFIID iid, void **out) override
    {
        if (iid == IID_IUnknown || iid == IID_IDispatch) {
            *out = static_cast<IDispatch *>(this);
            AddRef();
            return S_OK;
        }
        *out = nullptr;
        return E_NOINTERFACE;
    }
    ULONG STDMETHODCALLTYPE AddRef() override { return static_cast<ULONG>(InterlockedIncrement(&m_references)); }
    ULONG STDMETHODCALLTYPE Release() override
    {
        const LONG left = InterlockedDecrement(&m_references);
        if (left == 0)
            delete this;
        return static_cast<ULONG>(left);
    }

    // IDispatch
    HRESULT STDMETHODCALLTYPE GetTypeInfoCount(UINT *count) override
    {
        *count = 0;
        return S_OK;
    }
    HRESULT STDMETHODCALLTYPE GetTypeInfo(UINT, LCID, ITypeInfo **info) override
    {
        *info = nullptr;
        return E_NOTIMPL;
    }
    HRESULT STDMETHODCALLTYPE GetIDsOfNames(REFIID, LPOLESTR *names, UINT count, LCID, DISPID *ids) override
    {
        if (count < 1)
            return E_INVALIDARG;
        for (UINT i = 0; i < count; ++i)
            ids[i] = DISPID_UNKNOWN;
        if (m_closed)
            return RPC_E_DISCONNECTED;
        for (const MemberInfo &member : Members) {
            if (_wcsicmp(member.name, names[0]) != 0)
                continue;
            for (const Kind kind : member.kinds) {
                if (kind == m_kind) {
                    server.log(std::string("name ") + kindName(m_kind) + "." + utf8(member.name));
                    ids[0] = member.id;
                    return S_OK;
                }
            }
        }
        server.log(std::string("unknown ") + kindName(m_kind) + "." + utf8(names[0]));
        return DISP_E_UNKNOWNNAME;
    }
    HRESULT STDMETHODCALLTYPE Invoke(DISPID id, REFIID, LCID, WORD flags, DISPPARAMS *parameters, VARIANT *result,
                                     EXCEPINFO *exception, UINT *) override
    {
        if (m_closed)
            return RPC_E_DISCONNECTED;
        if (server.busy() && !server.behaviour.rejectInFilter) {
            server.log("rejected " + path(id));
            return RPC_E_CALL_REJECTED;
        }
        std::vector<VARIANT> arguments; // first to last, without the value of a put
        VARIANT value;
        VariantInit(&value);
        const UINT named = parameters ? parameters->cNamedArgs : 0;
        const UINT total = parameters ? parameters->cArgs : 0;
        for (UINT i = total; i > 0; --i) {
            VARIANT copy;
            VariantInit(&copy);
            VariantCopyInd(&copy, &parameters->rgvarg[i - 1]);
            if ((flags & DISPATCH_PROPERTYPUT) && named == 1 && i == 1)
                value = copy;
            else
                arguments.push_back(copy);
        }
        const HRESULT hr = perform(static_cast<Member>(id), flags, arguments, value, result, exception);
        for (VARIANT &argument : arguments)
            VariantClear(&argument);
        VariantClear(&value);
        return hr;
    }

    void close()
    {
        m_closed = true;
        CoDisconnectObject(static_cast<IDispatch *>(this), 0);
    }

private:
    ~Object()
    {
        if (activeSheetObject == this)
            activeSheetObject = nullptr;
        if (m_workbook) {
            for (auto it = liveWorkbookObjects.begin(); it != liveWorkbookObjects.end(); ++it) {
                if (*it == this) {
                    liveWorkbookObjects.erase(it);
                    break;
                }
            }
        }
        server.objectGone();
    }

    std::string path(DISPID id) const
    {
        std::string name = "?";
        for (const MemberInfo &member : Members) {
            if (member.id == id)
                name = utf8(member.name);
        }
        return m_kind == Kind::Application ? name : m_label + "." + name;
    }

    static long number(const VARIANT &argument)
    {
        VARIANT converted;
        VariantInit(&converted);
        if (FAILED(VariantChangeType(&converted, const_cast<VARIANT *>(&argument), 0, VT_I4)))
            return -1;
        return converted.lVal;
    }

    static std::string text(const VARIANT &argument)
    {
        if (argument.vt == VT_BSTR)
            return utf8(argument.bstrVal, static_cast<int>(SysStringLen(argument.bstrVal)));
        VARIANT converted;
        VariantInit(&converted);
        if (FAILED(VariantChangeType(&converted, const_cast<VARIANT *>(&argument), 0, VT_BSTR)))
            return "?";
        std::string out = utf8(converted.bstrVal, static_cast<int>(SysStringLen(converted.bstrVal)));
        VariantClear(&converted);
        return out;
    }

    static std::string shown(const VARIANT &value)
    {
        if (value.vt & VT_ARRAY)
            return shownArray(value);
        if (value.vt == VT_BOOL)
            return value.boolVal ? "True" : "False";
        if (value.vt == VT_BSTR)
            return quoted(text(value));
        return text(value);
    }

    // {"a";"b"} for two rows, {"a","b"} for two columns (or a one-dimensional array).
    static std::string shownArray(const VARIANT &value)
    {
        SAFEARRAY *array = value.parray;
        if (!array || (value.vt & VT_TYPEMASK) != VT_VARIANT || array->cDims < 1 || array->cDims > 2)
            return "{?}";
        LONG low[2] = {0, 0};
        LONG high[2] = {0, 0};
        for (UINT d = 0; d < array->cDims; ++d) {
            SafeArrayGetLBound(array, d + 1, &low[d]);
            SafeArrayGetUBound(array, d + 1, &high[d]);
        }
        std::string out = "{";
        const bool rows = array->cDims == 2;
        for (LONG r = low[0]; r <= high[0]; ++r) {
            for (LONG c = low[1]; c <= high[1]; ++c) {
                LONG at[2] = {r, c};
                VARIANT element;
                VariantInit(&element);
                SafeArrayGetElement(array, at, &element);
                if (r != low[0] || c != low[1])
                    out += rows && c == low[1] ? ";" : ",";
                out += shown(element);
                VariantClear(&element);
            }
        }
        return out + "}";
    }

    static HRESULT fail(EXCEPINFO *exception, HRESULT code, const wchar_t *description)
    {
        if (exception) {
            *exception = EXCEPINFO{};
            exception->bstrSource = SysAllocString(L"Microsoft Excel");
            exception->bstrDescription = SysAllocString(description);
            exception->scode = code;
        }
        return DISP_E_EXCEPTION;
    }

    static void give(VARIANT *result, IDispatch *object)
    {
        if (!result) {
            if (object)
                object->Release();
            return;
        }
        VariantInit(result);
        result->vt = VT_DISPATCH;
        result->pdispVal = object;
    }

    static void giveBool(VARIANT *result, bool flag)
    {
        if (!result)
            return;
        VariantInit(result);
        result->vt = VT_BOOL;
        result->boolVal = flag ? VARIANT_TRUE : VARIANT_FALSE;
    }

    static void giveText(VARIANT *result, const wchar_t *text)
    {
        if (!result)
            return;
        VariantInit(result);
        result->vt = VT_BSTR;
        result->bstrVal = SysAllocString(text);
    }

    Object *child(Kind kind, const std::string &label) const
    {
        const bool ownsWorkbook = kind == Kind::Workbook || kind == Kind::Worksheet || kind == Kind::Range;
        return new Object(kind, label, ownsWorkbook ? server.workbook : 0);
    }

    // Before a cell write: the failures a control file asks for.
    HRESULT beforeCell()
    {
        const Behaviour &b = server.behaviour;
        if (b.exitAfterCells >= 0 && server.cellsWritten >= b.exitAfterCells) {
            server.log("exit");
            TerminateProcess(GetCurrentProcess(), 3);
        }
        if (b.hangAfterCells >= 0 && server.cellsWritten >= b.hangAfterCells) {
            server.log("hang");
            for (;;)
                Sleep(INFINITE);
        }
        if (b.closeAfterCells >= 0 && server.cellsWritten >= b.closeAfterCells && server.workbook) {
            server.log("close workbook");
            server.workbook = 0;
            const std::vector<Object *> closing = liveWorkbookObjects;
            for (Object *object : closing) {
                if (object != this)
                    object->close();
            }
            m_closed = true;
            return RPC_E_DISCONNECTED;
        }
        return S_OK;
    }

    HRESULT perform(Member id, WORD flags, const std::vector<VARIANT> &arguments, const VARIANT &value, VARIANT *result,
                    EXCEPINFO *exception)
    {
        const bool put = flags & (DISPATCH_PROPERTYPUT | DISPATCH_PROPERTYPUTREF);
        const bool method = id == Add || id == AutoFit;
        std::string line = put ? "put " : method ? "call " : "get ";
        line += path(id);
        if (id == Cells || id == Range || id == Columns) {
            line += "(";
            for (std::size_t i = 0; i < arguments.size(); ++i)
                line += (i ? "," : "") + (arguments[i].vt == VT_BSTR ? quoted(text(arguments[i])) : text(arguments[i]));
            line += ")";
        }
        if (put)
            line += " = " + shown(value);

        const bool cellWrite =
            put && id == Formula && (m_label.rfind("Cells(", 0) == 0 || m_label.rfind("Range(", 0) == 0);
        if (cellWrite) {
            if (const HRESULT hr = beforeCell(); FAILED(hr))
                return hr;
        }
        const bool needsSheet = id == Cells || id == Range || id == Columns || id == Selection;
        if (m_kind == Kind::Application && needsSheet && !server.workbook && id != Selection) {
            server.log(line + " -> no sheet");
            return fail(exception, ExcelMethodFailed, L"Method of object '_Global' failed");
        }
        server.log(line);

        switch (id) {
        case Visible:
            if (put)
                server.visible = value.vt == VT_BOOL ? value.boolVal != VARIANT_FALSE : number(value) != 0;
            else
                giveBool(result, server.visible);
            return S_OK;
        case UserControl:
            if (put)
                server.userControl = value.vt == VT_BOOL ? value.boolVal != VARIANT_FALSE : number(value) != 0;
            else
                giveBool(result, server.userControl);
            return S_OK;
        case Name:
            giveText(result, L"Microsoft Excel");
            return S_OK;
        case Workbooks:
            give(result, child(Kind::Workbooks, "Workbooks"));
            return S_OK;
        case Add:
            ++server.workbook;
            give(result, child(Kind::Workbook, "Workbooks.Add"));
            return S_OK;
        case ActiveSheet:
            if (!server.workbook) {
                give(result, nullptr);
            } else if (activeSheetObject && activeSheetObject->m_workbook == server.workbook) {
                activeSheetObject->AddRef();
                give(result, activeSheetObject);
            } else {
                activeSheetObject = child(Kind::Worksheet, "ActiveSheet");
                give(result, activeSheetObject);
            }
            return S_OK;
        case Selection:
            give(result, server.workbook ? child(Kind::Range, "Selection") : nullptr);
            return S_OK;
        case AutoFit:
            giveBool(result, true);
            return S_OK;
        case Cells:
            if (arguments.size() != 2 || number(arguments[0]) < 1 || number(arguments[1]) < 1)
                return fail(exception, ExcelMethodFailed, L"Application-defined or object-defined error");
            give(result,
                 child(Kind::Range,
                       "Cells(" + std::to_string(number(arguments[0])) + "," + std::to_string(number(arguments[1]))
                           + ")"));
            return S_OK;
        case Range: {
            std::size_t cells = 0;
            if (arguments.size() != 1 || arguments[0].vt != VT_BSTR || !(cells = addressCells(text(arguments[0]))))
                return fail(exception, ExcelMethodFailed, L"Method 'Range' of object '_Worksheet' failed");
            Object *range = child(Kind::Range, "Range(" + quoted(text(arguments[0])) + ")");
            range->m_cells = cells;
            give(result, range);
            return S_OK;
        }
        case Columns:
            if (arguments.size() != 1)
                return fail(exception, ExcelMethodFailed, L"Application-defined or object-defined error");
            give(result, child(Kind::Range, "Columns(" + quoted(text(arguments[0])) + ")"));
            return S_OK;
        case EntireColumn:
            give(result, child(Kind::Range, m_label + ".EntireColumn"));
            return S_OK;
        case Formula:
        case NumberFormat:
            if (put) {
                if (cellWrite)
                    server.cellsWritten += static_cast<long>(m_cells);
            } else {
                giveText(result, L"");
            }
            return S_OK;
        }
        return DISP_E_MEMBERNOTFOUND;
    }

    // "A4:A6" -> 3, "B2" -> 1; 0 for what this stand-in does not read (names,
    // unions, whole columns).
    static std::size_t addressCells(const std::string &address)
    {
        long rows[2] = {0, 0};
        int columns[2] = {0, 0};
        std::size_t at = 0;
        for (int corner = 0; corner < 2; ++corner) {
            while (at < address.size() && address[at] >= 'A' && address[at] <= 'Z')
                columns[corner] = columns[corner] * 26 + (address[at++] - 'A' + 1);
            while (at < address.size() && address[at] >= '0' && address[at] <= '9')
                rows[corner] = rows[corner] * 10 + (address[at++] - '0');
            if (!columns[corner] || !rows[corner])
                return 0;
            if (corner == 0 && at == address.size()) {
                rows[1] = rows[0];
                columns[1] = columns[0];
                break;
            }
            if (corner == 0 && address[at++] != ':')
                return 0;
        }
        if (at != address.size() || rows[1] < rows[0] || columns[1] < columns[0])
            return 0;
        return static_cast<std::size_t>(rows[1] - rows[0] + 1) * static_cast<std::size_t>(columns[1] - columns[0] + 1);
    }

    LONG m_references = 1;
    std::size_t m_cells = 1; // the cells a Formula put fills
    Kind m_kind;
    std::string m_label;
    int m_workbook;
    bool m_closed = false;
};

// ---- the class factory and the message filter ------------------------------------

class Factory final : public IClassFactory {
public:
    HRESULT STDMETHODCALLTYPE QueryInterface(REFIID iid, void **out) override
    {
        if (iid == IID_IUnknown || iid == IID_IClassFactory) {
            *out = static_cast<IClassFactory *>(this);
            return S_OK;
        }
        *out = nullptr;
        return E_NOINTERFACE;
    }
    ULONG STDMETHODCALLTYPE AddRef() override { return 2; }
    ULONG STDMETHODCALLTYPE Release() override { return 1; }
    HRESULT STDMETHODCALLTYPE CreateInstance(IUnknown *outer, REFIID iid, void **out) override
    {
        *out = nullptr;
        if (outer)
            return CLASS_E_NOAGGREGATION;
        auto *application = new Object(Kind::Application, "Application", 0);
        server.served = true;
        const HRESULT hr = application->QueryInterface(iid, out);
        application->Release();
        return hr;
    }
    HRESULT STDMETHODCALLTYPE LockServer(BOOL) override { return S_OK; }
};

class Filter final : public IMessageFilter {
public:
    HRESULT STDMETHODCALLTYPE QueryInterface(REFIID iid, void **out) override
    {
        if (iid == IID_IUnknown || iid == IID_IMessageFilter) {
            *out = static_cast<IMessageFilter *>(this);
            return S_OK;
        }
        *out = nullptr;
        return E_NOINTERFACE;
    }
    ULONG STDMETHODCALLTYPE AddRef() override { return 2; }
    ULONG STDMETHODCALLTYPE Release() override { return 1; }
    // Refuses automation calls only: COM's own reference counting passes
    // (as it does with Excel), or released objects would keep us running.
    DWORD STDMETHODCALLTYPE HandleInComingCall(DWORD, HTASK, DWORD, LPINTERFACEINFO call) override
    {
        const bool automation = call && call->iid == IID_IDispatch;
        if (automation && server.busy() && server.behaviour.rejectInFilter) {
            server.log("rejected call");
            return server.behaviour.rejectInFilter == 2 ? SERVERCALL_RETRYLATER : SERVERCALL_REJECTED;
        }
        return SERVERCALL_ISHANDLED;
    }
    DWORD STDMETHODCALLTYPE RetryRejectedCall(HTASK, DWORD, DWORD) override { return static_cast<DWORD>(-1); }
    DWORD STDMETHODCALLTYPE MessagePending(HTASK, DWORD, DWORD) override { return PENDINGMSG_WAITDEFPROCESS; }
};

// ---- registration --------------------------------------------------------------

bool setValue(const std::wstring &key, const wchar_t *name, const std::wstring &value)
{
    HKEY handle = nullptr;
    if (RegCreateKeyExW(HKEY_CLASSES_ROOT, key.c_str(), 0, nullptr, 0, KEY_WRITE, nullptr, &handle, nullptr)
        != ERROR_SUCCESS)
        return false;
    const LSTATUS status = RegSetValueExW(handle, name, 0, REG_SZ, reinterpret_cast<const BYTE *>(value.c_str()),
                                          static_cast<DWORD>((value.size() + 1) * sizeof(wchar_t)));
    RegCloseKey(handle);
    return status == ERROR_SUCCESS;
}

int registerServer(const std::wstring &exe, const std::wstring &log, const std::wstring &control)
{
    const std::wstring command = L"\"" + exe + L"\" /log \"" + log + L"\" /control \"" + control + L"\"";
    const std::wstring clsidKey = std::wstring(L"CLSID\\") + StandInClsidText;
    const bool ok = setValue(ProgId, nullptr, L"Excel stand-in")
        && setValue(std::wstring(ProgId) + L"\\CLSID", nullptr, StandInClsidText)
        && setValue(clsidKey, nullptr, L"Excel stand-in") && setValue(clsidKey + L"\\ProgID", nullptr, ProgId)
        && setValue(clsidKey + L"\\LocalServer32", nullptr, command);
    if (!ok) {
        std::fprintf(stderr, "excel-standin: cannot write the registry (run as administrator)\n");
        return 1;
    }
    std::printf("registered %ls: %ls\n", ProgId, command.c_str());
    return 0;
}

int unregisterServer()
{
    RegDeleteTreeW(HKEY_CLASSES_ROOT, ProgId);
    RegDeleteTreeW(HKEY_CLASSES_ROOT, (std::wstring(L"CLSID\\") + StandInClsidText).c_str());
    std::printf("unregistered %ls\n", ProgId);
    return 0;
}

int serve()
{
    if (FAILED(CoInitializeEx(nullptr, COINIT_APARTMENTTHREADED)))
        return 1;
    server.readControl();
    server.log("start " + std::to_string(GetCurrentProcessId()));
    static Filter filter;
    IMessageFilter *previous = nullptr;
    CoRegisterMessageFilter(&filter, &previous);
    static Factory factory;
    DWORD cookie = 0;
    if (FAILED(CoRegisterClassObject(StandInClsid, &factory, CLSCTX_LOCAL_SERVER, REGCLS_SINGLEUSE, &cookie))) {
        server.log("cannot register the class object");
        CoUninitialize();
        return 1;
    }
    MSG message;
    while (GetMessageW(&message, nullptr, 0, 0) > 0) {
        TranslateMessage(&message);
        DispatchMessageW(&message);
    }
    CoRevokeClassObject(cookie);
    server.log("released");
    CoUninitialize();
    return 0;
}

} // namespace

int wmain(int argc, wchar_t **argv)
{
    wchar_t exe[MAX_PATH];
    GetModuleFileNameW(nullptr, exe, MAX_PATH);
    std::wstring folder = exe;
    folder.resize(folder.find_last_of(L"\\/") + 1);
    server.logPath = folder + L"excel-standin.log";
    server.controlPath = folder + L"excel-standin.control";

    bool doRegister = false;
    for (int i = 1; i < argc; ++i) {
        const std::wstring argument = argv[i];
        if (argument == L"/regserver" || argument == L"-regserver")
            doRegister = true;
        else if (argument == L"/unregserver" || argument == L"-unregserver")
            return unregisterServer();
        else if ((argument == L"/log" || argument == L"-log") && i + 1 < argc)
            server.logPath = argv[++i];
        else if ((argument == L"/control" || argument == L"-control") && i + 1 < argc)
            server.controlPath = argv[++i];
        // anything else (-Embedding, /automation): started by COM
    }
    if (doRegister)
        return registerServer(exe, server.logPath, server.controlPath);
    return serve();
}
