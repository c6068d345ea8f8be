#include "admin/log_model.h"

CLogModel::CLogModel(int max_rows, const QIcon& icon, QObject* parent)
    : QAbstractTableModel(parent), max_rows_(max_rows < 1 ? 1 : max_rows), icon_(icon) {}

void CLogModel::add_row(const QString& address, const QString& time, const QString& text) {
  if (static_cast<int>(rows_.size()) >= max_rows_) {
    const int drop = static_cast<int>(rows_.size()) - max_rows_ + 1;
    beginRemoveRows(QModelIndex(), 0, drop - 1);
    rows_.erase(rows_.begin(), rows_.begin() + drop);
    endRemoveRows();
  }
  const int at = static_cast<int>(rows_.size());
  beginInsertRows(QModelIndex(), at, at);
  rows_.push_back({address, time, text});
  endInsertRows();
}

void CLogModel::clear() {
  beginResetModel();
  rows_.clear();
  endResetModel();
}

QString CLogModel::text(int row, int column) const {
  if (row < 0 || row >= rowCount() || column < 0 || column >= kColumns) return QString();
  return rows_[static_cast<std::size_t>(row)][static_cast<std::size_t>(column)];
}

int CLogModel::rowCount(const QModelIndex& parent) const {
  return parent.isValid() ? 0 : static_cast<int>(rows_.size());
}

int CLogModel::columnCount(const QModelIndex& parent) const { return parent.isValid() ? 0 : kColumns; }

QVariant CLogModel::data(const QModelIndex& index, int role) const {
  if (!index.isValid()) return QVariant();
  if (role == Qt::DisplayRole) return text(index.row(), index.column());
  if (role == Qt::DecorationRole && index.column() == kAddress) return icon_;
  return QVariant();
}

QVariant CLogModel::headerData(int section, Qt::Orientation orientation, int role) const {
  static const char* const kHeaders[kColumns] = {"IP Address", "Time", "Message"};
  if (orientation != Qt::Horizontal || role != Qt::DisplayRole || section < 0 || section >= kColumns)
    return QVariant();
  return QString(kHeaders[section]);
}
