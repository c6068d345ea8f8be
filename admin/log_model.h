// CLogModel: the rows of the Logs page as a table model: "IP Address",
// "Time", "Message", in arrival order, each with the log icon in its first
// column. It keeps the newest max_rows rows: when it is full, the oldest
// row goes for each new one (emptying it would lose the very row that tells
// who flooded the chat, the only record while Savelog is off).
// Lifetime: owned by its page (a QObject parent).
// Thread safety: user-interface thread only.
#pragma once
#include <QAbstractTableModel>
#include <QIcon>
#include <QString>
#include <array>
#include <deque>

class CLogModel : public QAbstractTableModel {
  Q_OBJECT

 public:
  enum Column { kAddress = 0, kTime = 1, kMessage = 2, kColumns = 3 };

  CLogModel(int max_rows, const QIcon& icon, QObject* parent);

  void add_row(const QString& address, const QString& time, const QString& text);
  void clear();
  QString text(int row, int column) const;
  int max_rows() const { return max_rows_; }

  int rowCount(const QModelIndex& parent = QModelIndex()) const override;
  int columnCount(const QModelIndex& parent = QModelIndex()) const override;
  QVariant data(const QModelIndex& index, int role) const override;
  QVariant headerData(int section, Qt::Orientation orientation, int role) const override;

 private:
  int max_rows_;
  QIcon icon_;
  std::deque<std::array<QString, kColumns>> rows_;
};
