// The test-side look at a running LibreOffice (see calcprobe.h).
#include "calcprobe.h"

#include "calcoffice.h"
#include "columnrange.h"

#include <com/sun/star/awt/XWindow2.hpp>
#include <com/sun/star/beans/XPropertySet.hpp>
#include <com/sun/star/container/XEnumeration.hpp>
#include <com/sun/star/container/XEnumerationAccess.hpp>
#include <com/sun/star/container/XIndexAccess.hpp>
#include <com/sun/star/container/XNamed.hpp>
#include <com/sun/star/frame/XController.hpp>
#include <com/sun/star/frame/XFrame.hpp>
#include <com/sun/star/frame/XTitle.hpp>
#include <com/sun/star/sheet/XCellFormatRangesSupplier.hpp>
#include <com/sun/star/sheet/XCellRangeAddressable.hpp>
#include <com/sun/star/sheet/XCellRangeData.hpp>
#include <com/sun/star/sheet/XCellRangeFormula.hpp>
#include <com/sun/star/sheet/XSheetCellCursor.hpp>
#include <com/sun/star/sheet/XSheetCellRanges.hpp>
#include <com/sun/star/sheet/XSpreadsheet.hpp>
#include <com/sun/star/sheet/XSpreadsheetDocument.hpp>
#include <com/sun/star/sheet/XSpreadsheetView.hpp>
#include <com/sun/star/sheet/XSpreadsheets.hpp>
#include <com/sun/star/sheet/XUsedAreaCursor.hpp>
#include <com/sun/star/table/CellContentType.hpp>
#include <com/sun/star/table/CellRangeAddress.hpp>
#include <com/sun/star/table/XCell.hpp>
#include <com/sun/star/table/XColumnRowRange.hpp>
#include <com/sun/star/table/XTableColumns.hpp>
#include <com/sun/star/util/XCloseable.hpp>
#include <com/sun/star/util/XNumberFormats.hpp>
#include <com/sun/star/util/XNumberFormatsSupplier.hpp>
#include <com/sun/star/view/XSelectionSupplier.hpp>

namespace tallyo::calc {

namespace {

namespace Error = SpreadsheetErrorNumber;
using css::uno::Any;
using css::uno::UNO_QUERY;
using css::uno::UNO_QUERY_THROW;

std::string a1Name(const css::table::CellRangeAddress &address)
{
    auto cell = [](sal_Int32 column, sal_Int32 row) {
        return columnLetters(static_cast<int>(column) + 1) + std::to_string(row + 1);
    };
    std::string name = cell(address.StartColumn, address.StartRow);
    if (address.EndColumn != address.StartColumn || address.EndRow != address.StartRow)
        name += ":" + cell(address.EndColumn, address.EndRow);
    return name;
}

class Inspector final : public CalcProbe {
public:
    explicit Inspector(const SheetBackendOptions &options) : m_office(options)
    {
        m_office.connect(CalcOffice::Start::Never);
    }

    std::vector<std::string> documentTitles() override
    {
        return m_office.run("list the workbooks", [&] {
            std::vector<std::string> titles;
            forEachDocument([&](const Reference<css::frame::XModel> &model) {
                titles.push_back(fromUno(Reference<css::frame::XTitle>(model, UNO_QUERY_THROW)->getTitle()));
                return false;
            });
            return titles;
        });
    }

    std::vector<Cell> column(const std::string &document, int sheetNumber, int column, int firstRow,
                             int lastRow) override
    {
        return m_office.run("read cells", [&] {
            const auto range =
                sheet(document, sheetNumber)->getCellRangeByPosition(column - 1, firstRow - 1, column - 1, lastRow - 1);
            const auto formulas = Reference<css::sheet::XCellRangeFormula>(range, UNO_QUERY_THROW)->getFormulaArray();
            const auto data = Reference<css::sheet::XCellRangeData>(range, UNO_QUERY_THROW)->getDataArray();
            std::vector<Cell> cells;
            for (sal_Int32 i = 0; i < formulas.getLength(); ++i) {
                Cell cell{fromUno(formulas[i][0]), CellKind::Empty};
                const Any &value = data[i][0];
                if (cell.formula.starts_with('=')) // a formula, or a text that reads like one
                    cell.kind =
                        present(range->getCellByPosition(0, i))->getType() == css::table::CellContentType_FORMULA
                        ? CellKind::Formula
                        : CellKind::Text;
                else if (value.getValueTypeClass() == css::uno::TypeClass_DOUBLE)
                    cell.kind = CellKind::Value;
                else if (!cell.formula.empty())
                    cell.kind = CellKind::Text;
                cells.push_back(std::move(cell));
            }
            return cells;
        });
    }

    int lastUsedRow(const std::string &document, int sheetNumber) override
    {
        return m_office.run("find the last row", [&] {
            const auto target = sheet(document, sheetNumber);
            const auto cursor = present(target->createCursor());
            Reference<css::sheet::XUsedAreaCursor>(cursor, UNO_QUERY_THROW)->gotoEndOfUsedArea(false);
            const auto end = Reference<css::sheet::XCellRangeAddressable>(cursor, UNO_QUERY_THROW)->getRangeAddress();
            if (end.EndRow == 0 && end.EndColumn == 0
                && present(target->getCellByPosition(0, 0))->getType() == css::table::CellContentType_EMPTY)
                return 0;
            return static_cast<int>(end.EndRow) + 1;
        });
    }

    std::vector<int> columnWidths(const std::string &document, int sheetNumber, int firstColumn,
                                  int lastColumn) override
    {
        return m_office.run("read column widths", [&] {
            const auto columns = present(
                Reference<css::table::XColumnRowRange>(sheet(document, sheetNumber), UNO_QUERY_THROW)->getColumns());
            std::vector<int> widths;
            for (int c = firstColumn; c <= lastColumn; ++c) {
                sal_Int32 width = 0;
                Reference<css::beans::XPropertySet>(columns->getByIndex(c - 1), UNO_QUERY_THROW)
                    ->getPropertyValue("Width") >>= width;
                widths.push_back(static_cast<int>(width));
            }
            return widths;
        });
    }

    std::vector<FormattedRange> formattedRanges(const std::string &document, int sheetNumber) override
    {
        return m_office.run("read number formats", [&] {
            const auto model = find(document);
            const auto formats =
                present(Reference<css::util::XNumberFormatsSupplier>(model, UNO_QUERY_THROW)->getNumberFormats());
            const auto ranges =
                present(Reference<css::sheet::XCellFormatRangesSupplier>(sheet(document, sheetNumber), UNO_QUERY_THROW)
                            ->getCellFormatRanges());
            std::vector<FormattedRange> found;
            for (sal_Int32 i = 0; i < ranges->getCount(); ++i) {
                const Reference<css::beans::XPropertySet> range(ranges->getByIndex(i), UNO_QUERY_THROW);
                sal_Int32 key = 0;
                range->getPropertyValue("NumberFormat") >>= key;
                const std::string code = formatCode(formats, key);
                if (code == "General")
                    continue;
                found.push_back(
                    {a1Name(Reference<css::sheet::XCellRangeAddressable>(range, UNO_QUERY_THROW)->getRangeAddress()),
                     code});
            }
            return found;
        });
    }

    int sheetCount(const std::string &document) override
    {
        return m_office.run("count sheets", [&] { return static_cast<int>(sheets(document)->getCount()); });
    }

    int activeSheet(const std::string &document) override
    {
        return m_office.run("find the active sheet", [&] {
            const auto active = present(view(document)->getActiveSheet());
            const auto all = sheets(document);
            const auto name = Reference<css::container::XNamed>(active, UNO_QUERY_THROW)->getName();
            for (sal_Int32 i = 0; i < all->getCount(); ++i) {
                if (Reference<css::container::XNamed>(all->getByIndex(i), UNO_QUERY_THROW)->getName() == name)
                    return static_cast<int>(i) + 1;
            }
            return 0;
        });
    }

    void appendSheet(const std::string &document, const std::string &name) override
    {
        m_office.run("add a sheet", [&] {
            const auto all =
                present(Reference<css::sheet::XSpreadsheetDocument>(find(document), UNO_QUERY_THROW)->getSheets());
            all->insertNewByName(toUno(name), static_cast<sal_Int16>(sheets(document)->getCount()));
        });
    }

    void activateSheet(const std::string &document, int sheetNumber) override
    {
        m_office.run("activate a sheet", [&] { view(document)->setActiveSheet(sheet(document, sheetNumber)); });
    }

    std::string selection(const std::string &document) override
    {
        return m_office.run("read the selection", [&] {
            const Any selected = selectionSupplier(document)->getSelection();
            if (Reference<css::sheet::XCellRangeAddressable> one{selected, UNO_QUERY}; one.is())
                return a1Name(one->getRangeAddress());
            std::string names;
            if (Reference<css::sheet::XSheetCellRanges> many{selected, UNO_QUERY}; many.is()) {
                for (const auto &address : many->getRangeAddresses())
                    names += (names.empty() ? "" : ",") + a1Name(address);
            }
            return names;
        });
    }

    void select(const std::string &document, const std::string &range) override
    {
        m_office.run("select cells", [&] {
            const auto target = present(view(document)->getActiveSheet());
            selectionSupplier(document)->select(Any(target->getCellRangeByName(toUno(range))));
        });
    }

    bool windowVisible(const std::string &document) override
    {
        return m_office.run("look at the window", [&] {
            const auto window =
                present(present(present(find(document)->getCurrentController())->getFrame())->getContainerWindow());
            return Reference<css::awt::XWindow2>(window, UNO_QUERY_THROW)->isVisible() != sal_False;
        });
    }

    void closeDocument(const std::string &document) override
    {
        m_office.run("close the workbook",
                     [&] { Reference<css::util::XCloseable>(find(document), UNO_QUERY_THROW)->close(true); });
    }

private:
    template <class F> void forEachDocument(F &&visit)
    {
        const auto documents = present(present(m_office.desktop()->getComponents())->createEnumeration());
        while (documents->hasMoreElements()) {
            const Reference<css::frame::XModel> model(documents->nextElement(), UNO_QUERY);
            if (model.is() && Reference<css::sheet::XSpreadsheetDocument>(model, UNO_QUERY).is() && visit(model))
                return;
        }
    }

    Reference<css::frame::XModel> find(const std::string &document)
    {
        Reference<css::frame::XModel> found;
        forEachDocument([&](const Reference<css::frame::XModel> &model) {
            if (fromUno(Reference<css::frame::XTitle>(model, UNO_QUERY_THROW)->getTitle()) != document)
                return false;
            found = model;
            return true;
        });
        if (!found.is())
            throw SpreadsheetError(Error::DocumentGone, "No workbook titled \"" + document + "\" is open.");
        return found;
    }

    Reference<css::container::XIndexAccess> sheets(const std::string &document)
    {
        return Reference<css::container::XIndexAccess>(
            present(Reference<css::sheet::XSpreadsheetDocument>(find(document), UNO_QUERY_THROW)->getSheets()),
            UNO_QUERY_THROW);
    }

    Reference<css::sheet::XSpreadsheet> sheet(const std::string &document, int number)
    {
        return Reference<css::sheet::XSpreadsheet>(sheets(document)->getByIndex(number - 1), UNO_QUERY_THROW);
    }

    Reference<css::sheet::XSpreadsheetView> view(const std::string &document)
    {
        return Reference<css::sheet::XSpreadsheetView>(present(find(document)->getCurrentController()),
                                                       UNO_QUERY_THROW);
    }

    Reference<css::view::XSelectionSupplier> selectionSupplier(const std::string &document)
    {
        return Reference<css::view::XSelectionSupplier>(present(find(document)->getCurrentController()),
                                                        UNO_QUERY_THROW);
    }

    static std::string formatCode(const Reference<css::util::XNumberFormats> &formats, sal_Int32 key)
    {
        rtl::OUString code;
        present(formats->getByKey(key))->getPropertyValue("FormatString") >>= code;
        return fromUno(code);
    }

    CalcOffice m_office;
};

} // namespace

} // namespace tallyo::calc

extern "C" SAL_DLLPUBLIC_EXPORT tallyo::CalcProbe *tallyo_calc_probe_create(const tallyo::SheetBackendOptions &options)
{
    return new tallyo::calc::Inspector(options);
}
