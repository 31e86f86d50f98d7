#include "ui/MonitorModel.h"

#include "app/TrafficFiles.h"

namespace {
constexpr size_t PREVIEW_BYTES = 24;
}

void MonitorModel::append(std::vector<PacketView>&& entries) {
    // Only the newest LIMIT can stay: older ones of this batch are not even shown.
    size_t skip = entries.size() > LIMIT ? entries.size() - LIMIT : 0;
    size_t drop = all_.size() + entries.size() - skip > LIMIT ? all_.size() + entries.size() - skip - LIMIT : 0;
    if (drop > 0) {
        int shownGone = 0;
        for (size_t i = 0; i < drop; ++i)
            if (static_cast<size_t>(shownGone) < shown_.size() && shown_[static_cast<size_t>(shownGone)] == all_[i])
                ++shownGone;
        if (shownGone > 0) {
            beginRemoveRows({}, 0, shownGone - 1);
            shown_.erase(shown_.begin(), shown_.begin() + shownGone);
            endRemoveRows();
        }
        all_.erase(all_.begin(), all_.begin() + static_cast<long>(drop));
    }
    std::vector<std::shared_ptr<const PacketView>> fresh;
    for (size_t i = skip; i < entries.size(); ++i) {
        auto e = std::make_shared<const PacketView>(std::move(entries[i]));
        all_.push_back(e);
        if (filter_.accepts(*e)) fresh.push_back(std::move(e));
    }
    if (fresh.empty()) return;
    const int first = static_cast<int>(shown_.size());
    beginInsertRows({}, first, first + static_cast<int>(fresh.size()) - 1);
    shown_.insert(shown_.end(), fresh.begin(), fresh.end());
    endInsertRows();
}

void MonitorModel::clear() {
    beginResetModel();
    all_.clear();
    shown_.clear();
    endResetModel();
}

void MonitorModel::setFilter(MonitorFilter f) {
    beginResetModel();
    filter_ = std::move(f);
    shown_.clear();
    for (const auto& e : all_)
        if (filter_.accepts(*e)) shown_.push_back(e);
    endResetModel();
}

std::vector<const TapRecord*> MonitorModel::records() const {
    std::vector<const TapRecord*> out;
    out.reserve(all_.size());
    for (const auto& e : all_) out.push_back(&e->rec);
    return out;
}

int MonitorModel::rowCount(const QModelIndex& parent) const {
    return parent.isValid() ? 0 : static_cast<int>(shown_.size());
}

int MonitorModel::columnCount(const QModelIndex& parent) const { return parent.isValid() ? 0 : ColumnCount; }

QVariant MonitorModel::data(const QModelIndex& index, int role) const {
    if (!index.isValid() || static_cast<size_t>(index.row()) >= shown_.size()) return {};
    const PacketView& v = *shown_[static_cast<size_t>(index.row())];
    if (role == Qt::TextAlignmentRole && index.column() == ColLength)
        return QVariant::fromValue(Qt::AlignRight | Qt::AlignVCenter);
    if (role != Qt::DisplayRole) return {};
    const auto& b = v.rec.bytes;
    switch (index.column()) {
    case ColTime: return QString::fromStdString(tapTimeText(v.rec.usec, false));
    case ColDir: return QString::fromLatin1(directionText(v.rec.dir));
    case ColPeer: return QString::fromStdString(v.rec.peer.ToText()) + (v.rec.stream ? " (TCP)" : "");
    case ColType: return QString::fromStdString(v.type);
    case ColDevNo: return QString::fromStdString(v.devNo);
    case ColLength: return static_cast<qulonglong>(b.size());
    case ColFrame: return QString::fromStdString(frameText(v.frame));
    case ColData:  // what follows the header: the header's fields have their own columns
        return QString::fromStdString(hexPreview(b.data() + v.payloadAt, b.size() - v.payloadAt, PREVIEW_BYTES));
    }
    return {};
}

QVariant MonitorModel::headerData(int section, Qt::Orientation o, int role) const {
    static const char* const names[ColumnCount] = {"Time", "Dir", "Peer", "Type", "Device No.", "Length",
                                                    "Controller frame", "Data"};
    if (o != Qt::Horizontal || role != Qt::DisplayRole || section < 0 || section >= ColumnCount) return {};
    return QString::fromLatin1(names[section]);
}
