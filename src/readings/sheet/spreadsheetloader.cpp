#include "spreadsheetloader.h"

#include "sheetmodules.h"

#include <QCoreApplication>
#include <QDir>
#include <QFileInfo>
#include <QLibrary>
#include <QStringList>

#include <algorithm>
#include <filesystem>
#include <map>
#include <memory>
#include <mutex>

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
// still leads there. Worked out on the caller's thread, where the
// application object lives.
std::vector<std::filesystem::path> moduleDirectories(const std::string &moduleDirectory)
{
    const auto path = [](const QString &directory) {
        return std::filesystem::path(directory.toStdU16String()).make_preferred();
    };
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
    throw SpreadsheetError(SpreadsheetErrorNumber::NotInstalled,
                           std::string(module.applicationName) + " is not installed: " + why + " "
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

// Loaded modules stay loaded for the life of the process: application
// threads may outlive the objects that started them, and neither UNO nor COM
// likes its libraries unloaded.
QLibrary &loadModule(const std::vector<std::filesystem::path> &directories, const SheetModule &module)
{
    static std::mutex &mutex = *new std::mutex;
    static auto &loaded = *new std::map<std::filesystem::path, std::unique_ptr<QLibrary>>;

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
        return *it->second;
    auto library = std::make_unique<QLibrary>(QString::fromStdU16String(found->u16string()));
    // Every symbol bound now, so a missing office library fails here and not
    // in the middle of a call; never unloaded.
    library->setLoadHints(QLibrary::ResolveAllSymbolsHint | QLibrary::PreventUnloadHint);
    if (!library->load()) {
        std::string why = library->errorString().toStdString();
        while (!why.empty() && (why.back() == '.' || why.back() == '\n' || why.back() == '\r'))
            why.pop_back();
        notInstalled(module, why + ".");
    }
    const auto abi = reinterpret_cast<SheetModuleAbiFunction>(library->resolve(SheetModuleAbiSymbol));
    if (!abi || abi() != SheetModuleAbi)
        unusable(module, "this program's module " + utf8(*found) + " belongs to a different version of the program.");
    return *loaded.emplace(*found, std::move(library)).first->second;
}

void *moduleSymbol(const std::vector<std::filesystem::path> &directories, const std::string &backend,
                   const char *symbol)
{
    const SheetModule &found = module(backend);
    QLibrary &library = loadModule(directories, found);
    void *address = reinterpret_cast<void *>(library.resolve(symbol));
    if (!address)
        unusable(found, "this program's module " + library.fileName().toStdString() + " lacks " + symbol + ".");
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
