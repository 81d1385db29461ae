#pragma once

#include "VarnelKit/Protocol/ReportedPrinter.hpp"

#include <QAbstractTableModel>
#include <vector>

namespace varnel {

// The printer table's cells for Qt's views: texts and the secondary colour from PrinterTable.
class PrinterTableModel final : public QAbstractTableModel {
    Q_OBJECT

public:
    explicit PrinterTableModel(QObject* parent = nullptr) : QAbstractTableModel(parent) {}

    void setRows(std::vector<ReportedPrinter> rows);
    const std::vector<ReportedPrinter>& rows() const noexcept { return rows_; }

    int rowCount(const QModelIndex& parent = QModelIndex()) const override;
    int columnCount(const QModelIndex& parent = QModelIndex()) const override;
    QVariant data(const QModelIndex& index, int role) const override;
    QVariant headerData(int section, Qt::Orientation orientation, int role) const override;

private:
    std::vector<ReportedPrinter> rows_;
};

} // namespace varnel
