#include "spreadsheetloader.h"

#include "sheetmodules.h"

#include <QCoreApplication>
#include <QDir>
#include <QFileInfo>
#include <QStringList>

#include <algorithm>
#include <filesystem>
#include <map>
#include <memory>
#include <mutex>

#ifdef _WIN32
#include <windows.h>
#else
#include <dlfcn.h>
#endif

#ifndef TALLYO_SHEET_BACKENDS
#define TALLYO_SHEET_BACKENDS ""
#endif

namespace tallyo {

namespace {

QString programDirectory()
{
    if (QCoreApplication::instance())
        return QCoreApplication::applicationDirPath();
#ifdef Q_OS_LINUX
    return QFileInfo(QFileInfo(QStringLiteral("/proc/self/exe")).canonicalFilePath()).absolutePath();
#else
    return QDir::currentPath();
#endif
}

// Where the module may be: beside the program (a build tree, Windows), or in
// lib/frequency-tallyo/ of the prefix the program is installed in. The
// program's directory is its real one, so a bin/ symlink or a moved prefix
// still leads there. Worked out on the caller's thread (Qt), so the worker
// that loads the module uses plain paths only.
std::vector<std::filesystem::path> moduleDirectories(const std::string &moduleDirectory)
{
    const auto path = [](const QString &directory) { return std::filesystem::path(directory.toStdU16String()).make_preferred(); };
    if (!moduleDirectory.empty())
        return {path(QString::fromStdString(moduleDirectory))};
    const QString directory = programDirectory();
    return {path(directory), path(QDir::cleanPath(directory + QStringLiteral("/../lib/frequency-tallyo")))};
}

const SheetModule &module(const std::string &name)
{
    if (const SheetModule *found = findSheetModule(name))
        return *found;
    throw SpreadsheetError(SpreadsheetErrorNumber::NotInstalled,
                           "This program knows no spreadsheet backend named \"" + name + "\".");
}

// The module would not load: almost always the application's own libraries are missing.
[[noreturn]] void notInstalled(const SheetModule &module, const std::string &why)
{
    throw SpreadsheetError(SpreadsheetErrorNumber::NotInstalled, std::string(module.applicationName)
                                                                     + " is not installed: " + why + " "
                                                                     + std::string(module.installHint));
}

// This program's own module is missing or wrong.
[[noreturn]] void unusable(const SheetModule &module, const std::string &why)
{
    throw SpreadsheetError(SpreadsheetErrorNumber::NotInstalled,
                           std::string(module.applicationName) + " cannot be used: " + why
                               + " Reinstall Frequency Tallyo.");
}

std::string utf8(const std::filesystem::path &path)
{
    const std::u8string text = path.u8string();
    return std::string(text.begin(), text.end());
}

// A loaded module: the system's own handle, no Qt (a worker thread loads it).
struct LoadedModule {
    std::filesystem::path path;
#ifdef _WIN32
    HMODULE handle = nullptr;
    void *symbol(const char *name) const { return reinterpret_cast<void *>(GetProcAddress(handle, name)); }
#else
    void *handle = nullptr;
    void *symbol(const char *name) const { return dlsym(handle, name); }
#endif
};

// The system's reason why the last load failed.
std::string loadError()
{
#ifdef _WIN32
    const DWORD code = GetLastError();
    wchar_t *text = nullptr;
    FormatMessageW(FORMAT_MESSAGE_ALLOCATE_BUFFER | FORMAT_MESSAGE_FROM_SYSTEM | FORMAT_MESSAGE_IGNORE_INSERTS,
                   nullptr, code, 0, reinterpret_cast<wchar_t *>(&text), 0, nullptr);
    std::string why = text ? utf8(std::filesystem::path(text)) : "error " + std::to_string(code);
    LocalFree(text);
    while (!why.empty() && (why.back() == '\n' || why.back() == '\r' || why.back() == '.'))
        why.pop_back();
    return why;
#else
    const char *why = dlerror();
    return why ? why : "unknown error";
#endif
}

// Loaded modules stay loaded for the life of the process: application
// threads may outlive the objects that started them, and neither UNO nor COM
// likes its libraries unloaded.
const LoadedModule &loadModule(const std::vector<std::filesystem::path> &directories, const SheetModule &module)
{
    static std::mutex &mutex = *new std::mutex;
    static auto &loaded = *new std::map<std::filesystem::path, LoadedModule>;

    std::vector<std::filesystem::path> candidates;
    for (const std::filesystem::path &directory : directories)
        candidates.push_back(directory / sheetModuleFileName(module));
    const auto found = std::find_if(candidates.cbegin(), candidates.cend(), [](const std::filesystem::path &candidate) {
        std::error_code error;
        return std::filesystem::exists(candidate, error);
    });
    if (found == candidates.cend()) {
        std::string paths;
        for (const std::filesystem::path &candidate : candidates)
            paths += (paths.empty() ? "" : " or ") + utf8(candidate);
        unusable(module, "this program's module " + paths + " is missing.");
    }

    std::lock_guard lock(mutex);
    if (auto it = loaded.find(*found); it != loaded.end())
        return it->second;
    LoadedModule library{*found};
#ifdef _WIN32
    library.handle = LoadLibraryW(found->c_str());
#else
    library.handle = dlopen(found->c_str(), RTLD_NOW | RTLD_LOCAL);
#endif
    if (!library.handle)
        notInstalled(module, loadError() + ".");
    const auto abi = reinterpret_cast<SheetModuleAbiFunction>(library.symbol(SheetModuleAbiSymbol));
    if (!abi || abi() != SheetModuleAbi)
        unusable(module, "this program's module " + utf8(*found) + " belongs to a different version of the program.");
    return loaded.emplace(*found, std::move(library)).first->second;
}

void *moduleSymbol(const std::vector<std::filesystem::path> &directories, const std::string &backend, const char *symbol)
{
    const SheetModule &found = module(backend);
    const LoadedModule &library = loadModule(directories, found);
    void *address = library.symbol(symbol);
    if (!address)
        unusable(found, "this program's module " + utf8(library.path) + " lacks " + symbol + ".");
    return address;
}

} // namespace

const SheetModule *findSheetModule(std::string_view name)
{
    for (const SheetModule &module : SheetModules) {
        if (module.name == name)
            return &module;
    }
    return nullptr;
}

std::string sheetModuleFileName(const SheetModule &module)
{
#ifdef Q_OS_WIN
    return std::string(module.baseName) + ".dll";
#else
    return "lib" + std::string(module.baseName) + ".so";
#endif
}

std::vector<std::string> platformSheetModules()
{
    std::vector<std::string> names;
    for (const QString &name : QString::fromLatin1(TALLYO_SHEET_BACKENDS).split(u',', Qt::SkipEmptyParts))
        names.push_back(name.trimmed().toStdString());
    return names;
}

void *resolveSheetModuleSymbol(const std::string &moduleDirectory, const std::string &backend, const char *symbol)
{
    return moduleSymbol(moduleDirectories(moduleDirectory), backend, symbol);
}

SpreadsheetFactory makeSpreadsheetFactory(SpreadsheetLoaderOptions options)
{
    if (options.backends.empty())
        options.backends = platformSheetModules();
    return [options = std::move(options)]() -> std::unique_ptr<SpreadsheetApp> {
        const std::vector<std::filesystem::path> directories = moduleDirectories(options.moduleDirectory);
        std::vector<QueuedSpreadsheet::BackendFactory> candidates;
        for (const std::string &name : options.backends) {
            candidates.push_back([name, directories, backend = options.backend] {
                const auto create = reinterpret_cast<SheetBackendCreateFunction>(
                    moduleSymbol(directories, name, SheetBackendCreateSymbol));
                return std::unique_ptr<SheetBackend>(create(backend));
            });
        }
        return std::make_unique<QueuedSpreadsheet>(std::move(candidates), options.queue);
    };
}

} // namespace tallyo
