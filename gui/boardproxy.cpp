// Sorting and filtering the window's table; the texts compared are the cells' own.
#include "boardproxy.h"

#include "boardmodel.h"

namespace {

// Qt's collator in the C locale compares code points, numbers included: a station started
// without a locale (a service, a bare SSH session) still sorts SIM-2 before SIM-10.
QLocale sortLocale() {
    const QLocale locale;
    return locale.language() == QLocale::C ? QLocale(QLocale::English) : locale;
}

} // namespace

BoardProxy::BoardProxy(QObject *parent) : QSortFilterProxyModel(parent), collator_(sortLocale()) {
    collator_.setNumericMode(true);
    collator_.setCaseSensitivity(Qt::CaseInsensitive);
    setSortRole(BoardTableModel::SortRole);
    setFilterKeyColumn(-1);
    setFilterCaseSensitivity(Qt::CaseInsensitive);
}

void BoardProxy::setStates(const QList<int> &states) {
    states_ = states;
    invalidateFilter();
}

bool BoardProxy::lessThan(const QModelIndex &left, const QModelIndex &right) const {
    const QVariant a = left.data(sortRole());
    const QVariant b = right.data(sortRole());
    if (a.userType() == QMetaType::QString && b.userType() == QMetaType::QString) {
        return collator_.compare(a.toString(), b.toString()) < 0;
    }
    return QSortFilterProxyModel::lessThan(left, right);
}

bool BoardProxy::filterAcceptsRow(int sourceRow, const QModelIndex &sourceParent) const {
    if (!states_.isEmpty() && !states_.contains(sourceModel()
                                                    ->index(sourceRow, 0, sourceParent)
                                                    .data(BoardTableModel::StateRole)
                                                    .toInt())) {
        return false;
    }
    return QSortFilterProxyModel::filterAcceptsRow(sourceRow, sourceParent);
}
