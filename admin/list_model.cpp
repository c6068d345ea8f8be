#include "admin/list_model.h"

#include <algorithm>

namespace tvl {

CListModel::CListModel(const QStringList& headers, const QIcon& icon, QObject* parent)
    : QAbstractTableModel(parent), headers_(headers), icon_(icon) {}

void CListModel::set_rows(std::vector<Row> rows) {
  if (order_) std::stable_sort(rows.begin(), rows.end(), order_);
  beginResetModel();
  rows_ = std::move(rows);
  endResetModel();
}

int CListModel::append(Row row) {
  auto at = rows_.end();
  if (order_)
    at = std::upper_bound(rows_.begin(), rows_.end(), row,
                          [this](const Row& a, const Row& b) { return order_(a, b); });
  const int n = static_cast<int>(at - rows_.begin());
  beginInsertRows(QModelIndex(), n, n);
  rows_.insert(at, std::move(row));
  endInsertRows();
  return n;
}

void CListModel::set_row(int at, Row row) {
  if (at < 0 || at >= rowCount()) return;
  rows_[static_cast<size_t>(at)] = std::move(row);
  emit dataChanged(index(at, 0), index(at, columnCount() - 1));
}

void CListModel::remove(int at) {
  if (at < 0 || at >= rowCount()) return;
  beginRemoveRows(QModelIndex(), at, at);
  rows_.erase(rows_.begin() + at);
  endRemoveRows();
}

QVariant CListModel::stored(int at, int column) const {
  const Row& r = row(at);
  return column >= 0 && static_cast<size_t>(column) < r.stored.size() ? r.stored[column] : QVariant();
}

int CListModel::find_stored(int column, const QVariant& value) const {
  for (int i = 0; i < rowCount(); ++i)
    if (stored(i, column) == value) return i;
  return -1;
}

int CListModel::rowCount(const QModelIndex& parent) const {
  return parent.isValid() ? 0 : static_cast<int>(rows_.size());
}

int CListModel::columnCount(const QModelIndex& parent) const {
  return parent.isValid() ? 0 : static_cast<int>(headers_.size());
}

QVariant CListModel::data(const QModelIndex& index, int role) const {
  if (!index.isValid() || index.row() >= rowCount() || index.column() >= columnCount())
    return QVariant();
  switch (role) {
    case Qt::DisplayRole:
      return text(index.row(), index.column());
    case Qt::DecorationRole:
      return index.column() == 0 && !icon_.isNull() ? QVariant(icon_) : QVariant();
    case kStoredRole:
      return stored(index.row(), index.column());
    default:
      return QVariant();
  }
}

QVariant CListModel::headerData(int section, Qt::Orientation orientation, int role) const {
  if (orientation == Qt::Horizontal && role == Qt::DisplayRole) return headers_.value(section);
  return QAbstractTableModel::headerData(section, orientation, role);
}

}  // namespace tvl
