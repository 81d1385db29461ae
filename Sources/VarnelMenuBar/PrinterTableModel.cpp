#include "VarnelMenuBar/PrinterTableModel.hpp"

#include "VarnelMenuBar/PrinterTable.hpp"

#include <QBrush>
#include <QGuiApplication>
#include <QPalette>

namespace varnel {

void PrinterTableModel::setRows(std::vector<ReportedPrinter> rows) {
    beginResetModel();
    rows_ = std::move(rows);
    endResetModel();
}

int PrinterTableModel::rowCount(const QModelIndex& parent) const {
    return parent.isValid() ? 0 : static_cast<int>(PrinterTable::rowCount(rows_));
}

int PrinterTableModel::columnCount(const QModelIndex& parent) const {
    return parent.isValid() ? 0 : static_cast<int>(PrinterTable::columns.size());
}

QVariant PrinterTableModel::data(const QModelIndex& index, int role) const {
    if (!index.isValid())
        return {};
    const auto cell = PrinterTable::cell(rows_, static_cast<std::size_t>(index.row()),
                                         static_cast<std::size_t>(index.column()));
    if (role == Qt::DisplayRole)
        return QString::fromStdString(cell.text);
    if (role == Qt::ForegroundRole && cell.secondary)
        return QBrush(QGuiApplication::palette().color(QPalette::PlaceholderText));
    return {};
}

QVariant PrinterTableModel::headerData(int section, Qt::Orientation orientation, int role) const {
    if (orientation != Qt::Horizontal || role != Qt::DisplayRole || section < 0 ||
        section >= static_cast<int>(PrinterTable::columns.size()))
        return {};
    const auto title = PrinterTable::columns[static_cast<std::size_t>(section)].title;
    return QString::fromUtf8(title.data(), static_cast<int>(title.size()));
}

} // namespace varnel
