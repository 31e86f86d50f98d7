#include "ui/VSPListModel.h"

#include <QFont>
#include <algorithm>
#include <iterator>

namespace {
constexpr quintptr GROUP_ID = ~quintptr(0);  // internal id of top-level (group) items
const char* const CAPTIONS[] = {"Device No.", "On", "Address", "Last Logon Time", "Tx Bytes", "Rx Bytes", "Controller", "Comment"};
const Qt::Alignment ALIGN[] = {Qt::AlignLeft, Qt::AlignHCenter, Qt::AlignHCenter, Qt::AlignHCenter,
                               Qt::AlignLeft, Qt::AlignLeft, Qt::AlignHCenter, Qt::AlignLeft};
}  // namespace

VSPListModel::VSPListModel(Manager& core, const QString& portsDir, QObject* parent)
    : QAbstractItemModel(parent), core_(core), portsDir_(portsDir) {}

QString VSPListModel::portPath(int port) const { return QStringLiteral("%1/COM%2").arg(portsDir_).arg(port); }

void VSPListModel::refresh() {
    // One pass under the core's lock: when the rows are the same as last
    // time, only the texts that differ are copied and only their rows are
    // announced; otherwise the model starts afresh.
    std::vector<Group> next;
    std::vector<std::vector<uint8_t>> changed(groups_.size());
    bool same = true;
    core_.withRows([&](const std::vector<std::unique_ptr<Row>>& rows, const std::vector<int>& groups) {
        int slot[PORT_COUNT];
        std::fill(std::begin(slot), std::end(slot), -1);
        for (size_t g = 0; g < groups.size(); ++g) slot[groups[g]] = static_cast<int>(g);
        same = groups.size() == groups_.size();
        for (size_t g = 0; same && g < groups.size(); ++g) same = groups_[g].port == groups[g];
        std::vector<size_t> at(groups.size(), 0);
        for (size_t i = 0; same && i < rows.size(); ++i) {
            const Row& r = *rows[i];
            if (r.groupId <= 0 || r.groupId >= PORT_COUNT || slot[r.groupId] < 0) continue;
            const size_t g = static_cast<size_t>(slot[r.groupId]);
            std::vector<Item>& items = groups_[g].items;
            if (at[g] >= items.size() || items[at[g]].id != r.seq) {
                same = false;
                break;
            }
            Item& it = items[at[g]];
            bool differs = it.checked != r.checked || it.text[0] != r.caption;
            for (int c = 0; c < ColCount && !differs; ++c) differs = it.text[c + 1] != r.cells[c];
            if (differs) {
                it.checked = r.checked;
                it.text[0] = r.caption;
                for (int c = 0; c < ColCount; ++c) it.text[c + 1] = r.cells[c];
                if (changed[g].size() < items.size()) changed[g].resize(items.size(), 0);
                changed[g][at[g]] = 1;
            }
            ++at[g];
        }
        for (size_t g = 0; same && g < at.size(); ++g) same = at[g] == groups_[g].items.size();
        if (same) return;
        next.reserve(groups.size());
        for (int g : groups) next.push_back({g, {}});
        for (const auto& r : rows) {
            if (r->groupId <= 0 || r->groupId >= PORT_COUNT || slot[r->groupId] < 0) continue;
            Item it{r->seq, {}, r->checked};
            it.text[0] = r->caption;
            for (int c = 0; c < ColCount; ++c) it.text[c + 1] = r->cells[c];
            next[static_cast<size_t>(slot[r->groupId])].items.push_back(std::move(it));
        }
    });
    if (!same) {
        beginResetModel();
        groups_ = std::move(next);
        // Where each row is, so that a selection of many rows is found again at once.
        where_.clear();
        for (size_t g = 0; g < groups_.size(); ++g)
            for (size_t i = 0; i < groups_[g].items.size(); ++i) where_[groups_[g].items[i].id] = {g, i};
        endResetModel();
        return;
    }
    // Runs of changed rows, one announcement each.
    for (size_t g = 0; g < changed.size(); ++g) {
        const std::vector<uint8_t>& c = changed[g];
        QModelIndex parent = index(static_cast<int>(g), 0);
        for (size_t i = 0; i < c.size();) {
            if (!c[i]) {
                ++i;
                continue;
            }
            size_t end = i;
            while (end + 1 < c.size() && c[end + 1]) ++end;
            emit dataChanged(index(static_cast<int>(i), 0, parent), index(static_cast<int>(end), ColCount, parent));
            i = end + 1;
        }
    }
}

DtuId VSPListModel::idAt(const QModelIndex& idx) const {
    if (!idx.isValid() || idx.internalId() == GROUP_ID) return 0;
    return groups_[idx.internalId()].items[static_cast<size_t>(idx.row())].id;
}

QModelIndex VSPListModel::indexOf(DtuId id) const {
    auto it = where_.find(id);
    if (it == where_.end()) return {};
    return createIndex(static_cast<int>(it->second.second), 0, static_cast<quintptr>(it->second.first));
}

int VSPListModel::groupOf(const QModelIndex& idx) const {
    if (!idx.isValid() || idx.internalId() != GROUP_ID) return 0;
    return groups_[static_cast<size_t>(idx.row())].port;
}

QModelIndex VSPListModel::index(int row, int column, const QModelIndex& parent) const {
    if (row < 0 || column < 0 || column > ColCount) return {};
    if (!parent.isValid())
        return row < static_cast<int>(groups_.size()) ? createIndex(row, column, GROUP_ID) : QModelIndex();
    if (parent.internalId() != GROUP_ID) return {};
    const Group& g = groups_[static_cast<size_t>(parent.row())];
    if (row >= static_cast<int>(g.items.size())) return {};
    return createIndex(row, column, static_cast<quintptr>(parent.row()));
}

QModelIndex VSPListModel::parent(const QModelIndex& child) const {
    if (!child.isValid() || child.internalId() == GROUP_ID) return {};
    return createIndex(static_cast<int>(child.internalId()), 0, GROUP_ID);
}

int VSPListModel::rowCount(const QModelIndex& parent) const {
    if (!parent.isValid()) return static_cast<int>(groups_.size());
    if (parent.internalId() != GROUP_ID || parent.column() != 0) return 0;
    return static_cast<int>(groups_[static_cast<size_t>(parent.row())].items.size());
}

int VSPListModel::columnCount(const QModelIndex&) const { return ColCount + 1; }

QVariant VSPListModel::data(const QModelIndex& idx, int role) const {
    if (!idx.isValid()) return {};
    if (idx.internalId() == GROUP_ID) {
        const int port = groups_[static_cast<size_t>(idx.row())].port;
        if (role == Qt::DisplayRole && idx.column() == 0) return QStringLiteral("COM%1").arg(port);
        if (role == Qt::ToolTipRole) return portPath(port);
        if (role == Qt::FontRole) {
            QFont f;
            f.setBold(true);
            return f;
        }
        return {};
    }
    const Item& it = groups_[idx.internalId()].items[static_cast<size_t>(idx.row())];
    switch (role) {
    case Qt::DisplayRole: return QString::fromStdString(it.text[idx.column()]);
    case Qt::CheckStateRole:
        if (idx.column() == 0) return it.checked ? Qt::Checked : Qt::Unchecked;
        return {};
    case Qt::TextAlignmentRole: return QVariant::fromValue(ALIGN[idx.column()] | Qt::AlignVCenter);
    default: return {};
    }
}

bool VSPListModel::setData(const QModelIndex& idx, const QVariant& value, int role) {
    DtuId id = idAt(idx);
    if (!id || role != Qt::CheckStateRole || idx.column() != 0) return false;
    core_.setChecked(id, value.toInt() == Qt::Checked);
    refresh();
    emit checkChanged();
    return true;
}

Qt::ItemFlags VSPListModel::flags(const QModelIndex& idx) const {
    if (!idx.isValid()) return Qt::NoItemFlags;
    if (idx.internalId() == GROUP_ID) return Qt::ItemIsEnabled;
    Qt::ItemFlags f = Qt::ItemIsEnabled | Qt::ItemIsSelectable;
    if (idx.column() == 0) f |= Qt::ItemIsUserCheckable;
    return f;
}

QVariant VSPListModel::headerData(int section, Qt::Orientation o, int role) const {
    if (o != Qt::Horizontal || section < 0 || section > ColCount) return {};
    if (role == Qt::DisplayRole) return QString::fromUtf8(CAPTIONS[section]);
    if (role == Qt::TextAlignmentRole) return QVariant::fromValue(ALIGN[section] | Qt::AlignVCenter);
    return {};
}
