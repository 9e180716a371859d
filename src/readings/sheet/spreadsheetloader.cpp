#include "spreadsheetloader.h"

#include "sheetmodules.h"

#include <QCoreApplication>
#include <QDir>
#include <QFileInfo>
#include <QLibrary>
#include <QStringList>

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

// Loaded modules stay loaded for the life of the process: application
// threads may outlive the objects that started them, and neither UNO nor COM
// likes its libraries unloaded.
QLibrary &loadModule(const std::string &moduleDirectory, const SheetModule &module)
{
    static std::mutex &mutex = *new std::mutex;
    static auto &loaded = *new std::map<QString, std::unique_ptr<QLibrary>>;

    const QString directory = moduleDirectory.empty() ? programDirectory()
                                                      : QString::fromStdString(moduleDirectory);
    const QString path = QDir(directory).absoluteFilePath(QString::fromStdString(sheetModuleFileName(module)));

    std::lock_guard lock(mutex);
    if (auto it = loaded.find(path); it != loaded.end())
        return *it->second;
    if (!QFileInfo::exists(path))
        unusable(module, "this program's module " + QDir::toNativeSeparators(path).toStdString() + " is missing.");

    auto library = std::make_unique<QLibrary>(path);
    library->setLoadHints(QLibrary::ResolveAllSymbolsHint);
    if (!library->load())
        notInstalled(module, library->errorString().toStdString() + ".");
    const auto abi = reinterpret_cast<SheetModuleAbiFunction>(library->resolve(SheetModuleAbiSymbol));
    if (!abi || abi() != SheetModuleAbi)
        unusable(module, "this program's module " + QDir::toNativeSeparators(path).toStdString()
                             + " belongs to a different version of the program.");
    return *loaded.emplace(path, std::move(library)).first->second;
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
    const SheetModule &found = module(backend);
    QLibrary &library = loadModule(moduleDirectory, found);
    void *address = reinterpret_cast<void *>(library.resolve(symbol));
    if (!address)
        unusable(found, "this program's module " + library.fileName().toStdString() + " lacks " + symbol + ".");
    return address;
}

SpreadsheetFactory makeSpreadsheetFactory(SpreadsheetLoaderOptions options)
{
    if (options.backends.empty())
        options.backends = platformSheetModules();
    return [options = std::move(options)]() -> std::unique_ptr<SpreadsheetApp> {
        std::vector<QueuedSpreadsheet::BackendFactory> candidates;
        for (const std::string &name : options.backends) {
            candidates.push_back([name, directory = options.moduleDirectory, backend = options.backend] {
                const auto create = reinterpret_cast<SheetBackendCreateFunction>(
                    resolveSheetModuleSymbol(directory, name, SheetBackendCreateSymbol));
                return std::unique_ptr<SheetBackend>(create(backend));
            });
        }
        return std::make_unique<QueuedSpreadsheet>(std::move(candidates), options.queue);
    };
}

} // namespace tallyo
