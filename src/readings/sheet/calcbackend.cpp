// LibreOffice Calc as the spreadsheet application, through UNO.
//
// One CalcBackend stands for one recording's workbook window in an office
// started (or found) by CalcOffice. Every call addresses the active sheet of
// that workbook's window and its current selection, as the user left them.
#include "calcoffice.h"
#include "readingtext.h"
#include "sheetbackend.h"

#include <map>
#include <vector>

#include <com/sun/star/awt/XTopWindow.hpp>
#include <com/sun/star/awt/XWindow.hpp>
#include <com/sun/star/beans/PropertyValue.hpp>
#include <com/sun/star/beans/XPropertySet.hpp>
#include <com/sun/star/beans/XPropertySetInfo.hpp>
#include <com/sun/star/container/XIndexAccess.hpp>
#include <com/sun/star/container/XNamed.hpp>
#include <com/sun/star/frame/XController.hpp>
#include <com/sun/star/frame/XFrame.hpp>
#include <com/sun/star/lang/Locale.hpp>
#include <com/sun/star/sheet/XCellRangeFormula.hpp>
#include <com/sun/star/sheet/XSpreadsheet.hpp>
#include <com/sun/star/sheet/XSpreadsheetDocument.hpp>
#include <com/sun/star/sheet/XSpreadsheetView.hpp>
#include <com/sun/star/table/XCell.hpp>
#include <com/sun/star/table/XColumnRowRange.hpp>
#include <com/sun/star/table/XTableColumns.hpp>
#include <com/sun/star/text/XText.hpp>
#include <com/sun/star/util/XNumberFormats.hpp>
#include <com/sun/star/util/XNumberFormatsSupplier.hpp>
#include <com/sun/star/view/XSelectionSupplier.hpp>

namespace tallyo::calc {

namespace {

namespace Error = SpreadsheetErrorNumber;
using css::uno::Any;
using css::uno::Sequence;
using css::uno::UNO_QUERY;
using css::uno::UNO_QUERY_THROW;

class CalcBackend final : public SheetBackend {
public:
    explicit CalcBackend(const SheetBackendOptions &options) : m_office(options)
    {
        m_office.onLinkLost([this] {
            m_document.forget();
            m_sheetsOwedFit.clear();
            m_formatKeys.clear();
        });
    }

    ~CalcBackend() override
    {
        // Leave the workbook to the user: no close, no save.
        if (m_office.linkUp()) { // (not after cancel())
            try {
                m_office.run("let go of the workbook", [&] { m_document.release(); });
            } catch (const SpreadsheetError &) {}
        }
        m_document.forget();
        m_sheetsOwedFit.clear();
    }

    std::string applicationName() const override { return "LibreOffice Calc"; }
    long long lastRow() const override { return SheetLastRow; }

    void start() override { m_office.connect(CalcOffice::Start::IfNeeded); }
    void cancel() override { m_office.cancel(); }

    void setVisible(bool visible) override
    {
        m_visible = visible;
        if (!m_document.isSet())
            return; // Calc shows no window before a workbook: applied by addWorkbook()
        m_office.run(
            "show its window",
            [&] {
                const Reference<css::awt::XWindow> window =
                    present(present(present(model()->getCurrentController())->getFrame())->getContainerWindow());
                window->setVisible(visible);
                if (Reference<css::awt::XTopWindow> top{window, UNO_QUERY}; visible && top.is())
                    top->toFront();
            },
            &m_document);
    }

    void addWorkbook() override
    {
        m_office.run("open a new workbook", [&] {
            Sequence<css::beans::PropertyValue> arguments(1);
            arguments.getArray()[0].Name = "Hidden";
            arguments.getArray()[0].Value <<= !m_visible;
            const Reference<css::lang::XComponent> component =
                present(m_office.desktop()->loadComponentFromURL("private:factory/scalc", "_blank", 0, arguments));
            const Reference<css::frame::XModel> newModel(component, UNO_QUERY_THROW);
            m_office.noteWorkbookOpened();
            m_document.watch(newModel);
            m_sheetsOwedFit.clear();
            m_formatKeys.clear();
            const Reference<css::container::XIndexAccess> sheets(
                present(Reference<css::sheet::XSpreadsheetDocument>(newModel, UNO_QUERY_THROW)->getSheets()),
                UNO_QUERY_THROW);
            const Reference<css::sheet::XSpreadsheet> first(sheets->getByIndex(0), UNO_QUERY_THROW);
            view()->setActiveSheet(first);
        });
    }

    // Calc turns a line end inside a cell into a second line: the reading is
    // written without the counter's closing CR (a number then stays a number).
    // A text beginning with "=" is never a reading: it goes in as plain text,
    // so nothing from the line is evaluated. Everything else is the formula.
    void setCellFormulas(long long firstRow, int column, const std::vector<std::string> &texts) override
    {
        std::size_t done = 0; // leading cells in the sheet
        try {
            m_office.run(
                "write a reading",
                [&] {
                    const Reference<css::sheet::XSpreadsheet> sheet = activeSheet();
                    const auto row = [&](std::size_t i) {
                        return static_cast<sal_Int32>(firstRow - 1 + static_cast<long long>(i));
                    };
                    while (done < texts.size()) {
                        if (isPlainText(texts[done])) {
                            Reference<css::text::XText>(present(sheet->getCellByPosition(column - 1, row(done))),
                                                        UNO_QUERY_THROW)
                                ->setString(toUno(std::string(reading::withoutLineEnd(texts[done]))));
                            ++done;
                            continue;
                        }
                        std::size_t end = done + 1;
                        while (end < texts.size() && !isPlainText(texts[end]))
                            ++end;
                        if (end - done == 1) {
                            present(sheet->getCellByPosition(column - 1, row(done)))
                                ->setFormula(toUno(std::string(reading::withoutLineEnd(texts[done]))));
                        } else {
                            Sequence<Sequence<rtl::OUString>> rows(static_cast<sal_Int32>(end - done));
                            for (std::size_t i = done; i < end; ++i) {
                                Sequence<rtl::OUString> one(1);
                                one.getArray()[0] = toUno(std::string(reading::withoutLineEnd(texts[i])));
                                rows.getArray()[i - done] = one;
                            }
                            Reference<css::sheet::XCellRangeFormula>(
                                sheet->getCellRangeByPosition(column - 1, row(done), column - 1, row(end - 1)),
                                UNO_QUERY_THROW)
                                ->setFormulaArray(rows);
                        }
                        done = end;
                    }
                    noteWritten(sheet);
                },
                &m_document);
        } catch (const SpreadsheetError &e) {
            throw SpreadsheetError(e.number, e.what(), done);
        }
    }

    void autoFitColumns(int firstColumn, int lastColumn) override
    {
        m_office.run(
            "fit the column widths",
            [&] {
                const Reference<css::sheet::XSpreadsheet> active = activeSheet();
                fitColumns(active, firstColumn, lastColumn);
                const rtl::OUString activeName = sheetName(active);
                for (const OwedSheet &owed : m_sheetsOwedFit) {
                    if (owed.name == activeName)
                        continue;
                    try {
                        fitColumns(owed.sheet, firstColumn, lastColumn);
                    } catch (const css::uno::RuntimeException &) {
                        if (!m_document.stillOpen())
                            throw;
                        // the user deleted that sheet: nothing left to fit
                    }
                }
                m_sheetsOwedFit.clear();
            },
            &m_document);
    }

    void setSelectionNumberFormat(const std::string &formatCode) override
    {
        m_office.run(
            "set the number format",
            [&] {
                const sal_Int32 key = formatKey(formatCode);
                const Reference<css::view::XSelectionSupplier> controller(model()->getCurrentController(),
                                                                          UNO_QUERY_THROW);
                const Reference<css::beans::XPropertySet> selection(controller->getSelection(), UNO_QUERY);
                if (!selection.is() || !present(selection->getPropertySetInfo())->hasPropertyByName("NumberFormat")) {
                    if (!m_document.stillOpen())
                        throw SpreadsheetError(Error::DocumentGone, "The workbook was closed during the recording.");
                    throw SpreadsheetError(
                        Error::CallFailed,
                        "The selection in LibreOffice Calc is not a range of cells, so it cannot take "
                        "the number format \""
                            + formatCode + "\".");
                }
                selection->setPropertyValue("NumberFormat", Any(key));
            },
            &m_document);
    }

private:
    static bool isPlainText(const std::string &text) { return text.starts_with('='); }

    const Reference<css::frame::XModel> &model() const
    {
        if (!m_document.isSet())
            throw SpreadsheetError(Error::CallFailed, "No workbook has been opened in LibreOffice Calc yet.");
        if (m_document.closeNoticed())
            throw SpreadsheetError(Error::DocumentGone, "The workbook was closed during the recording.");
        return m_document.model();
    }

    Reference<css::sheet::XSpreadsheetView> view() const
    {
        return Reference<css::sheet::XSpreadsheetView>(model()->getCurrentController(), UNO_QUERY_THROW);
    }

    Reference<css::sheet::XSpreadsheet> activeSheet() const { return present(view()->getActiveSheet()); }

    // Calc hands out a new object for a sheet on every request: sheets are
    // told apart by name.
    static rtl::OUString sheetName(const Reference<css::sheet::XSpreadsheet> &sheet)
    {
        return Reference<css::container::XNamed>(sheet, UNO_QUERY_THROW)->getName();
    }

    void noteWritten(const Reference<css::sheet::XSpreadsheet> &sheet)
    {
        const rtl::OUString name = sheetName(sheet);
        for (const OwedSheet &owed : m_sheetsOwedFit) {
            if (owed.name == name)
                return;
        }
        m_sheetsOwedFit.push_back({name, sheet});
    }

    static void fitColumns(const Reference<css::sheet::XSpreadsheet> &sheet, int firstColumn, int lastColumn)
    {
        const Reference<css::table::XColumnRowRange> range(
            sheet->getCellRangeByPosition(firstColumn - 1, 0, lastColumn - 1, 0), UNO_QUERY_THROW);
        Reference<css::beans::XPropertySet>(present(range->getColumns()), UNO_QUERY_THROW)
            ->setPropertyValue("OptimalWidth", Any(true));
    }

    // Format codes are written as Excel writes them: en-US.
    sal_Int32 formatKey(const std::string &formatCode)
    {
        if (const auto it = m_formatKeys.find(formatCode); it != m_formatKeys.end())
            return it->second;
        const Reference<css::util::XNumberFormats> formats =
            present(Reference<css::util::XNumberFormatsSupplier>(model(), UNO_QUERY_THROW)->getNumberFormats());
        const css::lang::Locale english("en", "US", "");
        sal_Int32 key = formats->queryKey(toUno(formatCode), english, false);
        if (key < 0)
            key = formats->addNew(toUno(formatCode), english); // throws for a code Calc cannot read
        m_formatKeys.emplace(formatCode, key);
        return key;
    }

    CalcOffice m_office; // first: outlives every remote reference below
    WatchedDocument m_document;
    bool m_visible = false;
    // Sheets written since the last AutoFit (one, unless the user switched).
    struct OwedSheet {
        rtl::OUString name;
        Reference<css::sheet::XSpreadsheet> sheet;
    };
    std::vector<OwedSheet> m_sheetsOwedFit;
    std::map<std::string, sal_Int32> m_formatKeys;
};

} // namespace

} // namespace tallyo::calc

extern "C" SAL_DLLPUBLIC_EXPORT int tallyo_sheet_module_abi()
{
    return tallyo::SheetModuleAbi;
}

extern "C" SAL_DLLPUBLIC_EXPORT tallyo::SheetBackend *
tallyo_sheet_backend_create(const tallyo::SheetBackendOptions &options)
{
    return new tallyo::calc::CalcBackend(options);
}
