// LibreOffice Calc's own settings, carried to the Calc module as the text
// settings of SheetBackendOptions. The defaults are what a user gets; the
// others exist for tests and for unusual installs.
//
// Plain C++ only: no Qt or UNO types.
#pragma once

#include "sheetbackend.h"

#include <string>

namespace tallyo {

struct CalcOptions {
    // Start the office without any window.
    bool headless = false;
    // A private user profile as a file:// URL, which gives a new office
    // process of its own. Empty: the user's own profile, so the workbook
    // opens in the office the user already runs (or starts it).
    std::string profileUrl;
    // The named pipe the office accepts automation on. Empty: a fixed
    // per-user name, so later recordings reuse the running office.
    std::string pipeName;
    // The folder holding soffice. Empty: the installation the module was
    // built against.
    std::string officeProgramDirectory;

    // Writes these settings into options (the others stay as they are).
    void applyTo(SheetBackendOptions &options) const
    {
        options.settings["calc.headless"] = headless ? "1" : "0";
        options.settings["calc.profileUrl"] = profileUrl;
        options.settings["calc.pipeName"] = pipeName;
        options.settings["calc.officeProgramDirectory"] = officeProgramDirectory;
    }

    static CalcOptions from(const SheetBackendOptions &options)
    {
        const auto setting = [&](const char *name) {
            const auto it = options.settings.find(name);
            return it == options.settings.end() ? std::string() : it->second;
        };
        CalcOptions calc;
        calc.headless = setting("calc.headless") == "1";
        calc.profileUrl = setting("calc.profileUrl");
        calc.pipeName = setting("calc.pipeName");
        calc.officeProgramDirectory = setting("calc.officeProgramDirectory");
        return calc;
    }
};

} // namespace tallyo
