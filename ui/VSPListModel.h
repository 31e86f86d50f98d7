#pragma once
// The DTU rows of the core as a Qt model: one top-level item per port group
// ("COM" + number), the port's rows below it in creation order.
#include <QAbstractItemModel>
#include <unordered_map>
#include <utility>
#include <vector>

#include "app/Manager.h"

class VSPListModel : public QAbstractItemModel {
    Q_OBJECT
public:
    // `portsDir`: where the ports' links are, shown as each group's tooltip.
    VSPListModel(Manager& core, const QString& portsDir, QObject* parent = nullptr);
    QString portPath(int port) const;

    // Takes the rows over from the core: cell changes only when the rows are
    // the same, a reset when rows or groups came or went.
    void refresh();
    // The DTU of a row item (0 for a group): an id, never a pointer into
    // the core, so it stays harmless after the core has freed the row.
    DtuId idAt(const QModelIndex& index) const;
    QModelIndex indexOf(DtuId id) const;
    int groupOf(const QModelIndex& index) const;  // port number of a group item, else 0

    QModelIndex index(int row, int column, const QModelIndex& parent = {}) const override;
    QModelIndex parent(const QModelIndex& child) const override;
    int rowCount(const QModelIndex& parent = {}) const override;
    int columnCount(const QModelIndex& parent = {}) const override;
    QVariant data(const QModelIndex& index, int role) const override;
    bool setData(const QModelIndex& index, const QVariant& value, int role) override;
    Qt::ItemFlags flags(const QModelIndex& index) const override;
    QVariant headerData(int section, Qt::Orientation o, int role) const override;

signals:
    void checkChanged();  // a check box was set through setData

private:
    struct Item {
        DtuId id;
        std::string text[ColCount + 1];  // made a QString only when shown
        bool checked;
    };
    struct Group {
        int port;
        std::vector<Item> items;
    };

    Manager& core_;
    QString portsDir_;
    std::vector<Group> groups_;
    std::unordered_map<DtuId, std::pair<size_t, size_t>> where_;  // id -> group, row
};
