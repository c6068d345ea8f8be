// CListModel: the rows of a Rooms or Users list as a table model, shown by
// the page's QTreeView. Each cell has the text shown and, under kStoredRole,
// what the page keeps beside it (a file name's bytes, a room's id): the text
// shown cannot hold every byte string.
//
// Rows stay in the order they are given, or, with an order set, sorted by
// it (set_rows sorts stably, append inserts after its equals); column 0
// shows the model's icon.
//
// Lifetime: owned by its page (a QObject parent).
// Thread safety: user-interface thread only.
#pragma once
#include <QAbstractTableModel>
#include <QIcon>
#include <QStringList>
#include <QVariant>
#include <functional>
#include <vector>

namespace tvl {

class CListModel : public QAbstractTableModel {
  Q_OBJECT

 public:
  static constexpr int kStoredRole = Qt::UserRole;

  struct Row {
    QStringList texts;             // one per column; missing ones are empty
    std::vector<QVariant> stored;  // one per column; missing ones are null
  };
  // True when `a` goes before `b`.
  using Order = std::function<bool(const Row& a, const Row& b)>;

  CListModel(const QStringList& headers, const QIcon& icon, QObject* parent);

  void set_order(Order order) { order_ = std::move(order); }

  // Replaces every row (a model reset: the view's selection is dropped).
  void set_rows(std::vector<Row> rows);
  // Adds one row; returns its number.
  int append(Row row);
  // Changes row `at` in place (keeps its position, even with an order).
  void set_row(int at, Row row);
  void remove(int at);

  const Row& row(int at) const { return rows_.at(static_cast<size_t>(at)); }
  QString text(int at, int column) const { return row(at).texts.value(column); }
  QVariant stored(int at, int column) const;
  // The first row whose stored value of `column` is `value`; -1 if none.
  int find_stored(int column, const QVariant& value) const;

  int rowCount(const QModelIndex& parent = QModelIndex()) const override;
  int columnCount(const QModelIndex& parent = QModelIndex()) const override;
  QVariant data(const QModelIndex& index, int role) const override;
  QVariant headerData(int section, Qt::Orientation orientation, int role) const override;

 private:
  QStringList headers_;
  QIcon icon_;
  Order order_;
  std::vector<Row> rows_;
};

}  // namespace tvl
