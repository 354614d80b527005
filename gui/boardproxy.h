// The table as the technician sees it: filtered by text and by state, and sorted as people
// read (numbers in names as numbers: SIM-2 before SIM-10).
#pragma once

#include <QCollator>
#include <QSortFilterProxyModel>

class BoardProxy : public QSortFilterProxyModel {
    Q_OBJECT
  public:
    explicit BoardProxy(QObject *parent = nullptr);

    // Rows in one of these WindowBoard states only; empty: every state.
    void setStates(const QList<int> &states);

  protected:
    bool lessThan(const QModelIndex &left, const QModelIndex &right) const override;
    bool filterAcceptsRow(int sourceRow, const QModelIndex &sourceParent) const override;

  private:
    QCollator collator_;
    QList<int> states_;
};
